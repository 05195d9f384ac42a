// The configuration manager's request path: name lookup, node building,
// the application's seven operations, the answer.
#include "mira/cmmgr.h"

#include <cstring>

#include "mira/cm.h"

namespace mira {

namespace {

cmBackendApp_t gApp{};
bool gAppInitialised = false;

const cmBackendApp_t& app() {
    if (!gAppInitialised) {
        gAppInitialised = cmBackendApplicationInit(&gApp) == 1;
    }
    return gApp;
}

// Frees a node with its records, whatever it holds.
struct NodeOwner {
    cmObject_t* node = nullptr;
    ~NodeOwner() {
        if (node == nullptr) return;
        if (node->info == nullptr)
            cmObject_t_free(node);  // an empty reply: nothing attached
        else
            cmObjectFree(node, CM_FREE_RECORDS | CM_FREE_NODE);
    }
};

}  // namespace

const cmBackendApp_t& cmApplication() { return app(); }

const cmInfoEntry_t* cmLookup(std::string_view name, uint32_t kind) {
    const cmInfoEntry_t* table = app().objectTable;
    if (table == nullptr) return nullptr;
    for (const cmInfoEntry_t* e = table; e->name != nullptr; e++)
        if (e->kind == kind && name == e->name) return e;
    return nullptr;
}

CmResult cmRun(std::string_view method, std::string_view object, const std::vector<CmAttr>& attrs, uint32_t flags) {
    CmResult out;
    out.rc = -1;
    const cmInfoEntry_t* methodEntry = cmLookup(method, CM_INFO_METHOD);
    if (methodEntry == nullptr) {
        out.message = "Unknown method " + std::string(method) + ".";
        return out;
    }
    const cmInfoEntry_t* objectEntry = cmLookup(object, CM_INFO_OBJECT);
    if (objectEntry == nullptr) {
        out.message = "Unknown object " + std::string(object) + ".";
        return out;
    }
    NodeOwner node{cmObjectAlloc(objectEntry)};
    if (node.node == nullptr) {
        out.message = "Internal error --> cannot allocate object " + std::string(object) + ".";
        return out;
    }
    node.node->method = methodEntry;
    for (const CmAttr& a : attrs) {
        const cmInfoEntry_t* attrEntry = cmLookup(a.name, CM_INFO_ATTRIBUTE);
        if (attrEntry == nullptr) {
            out.message = "Unknown attribute " + a.name + " of object " + std::string(object) + ".";
            return out;
        }
        cmObject_t attr{};
        attr.info = attrEntry;
        attr.record = const_cast<char*>(a.value.c_str());
        if (cmObjectSetData(node.node, &attr) != 0) {
            out.message = "Invalid value \"" + a.value + "\" for attribute " + a.name + ".";
            return out;
        }
    }

    CmRequest request;
    request->flags = flags;
    NodeOwner reply{cmObject_t_alloc()};
    reply.node->method = methodEntry;
    request->reply = reply.node;
    out.rc = cmBackendAction(request.get(), node.node);
    out.result = request->result;
    if (reply.node->record != nullptr) cmBackendConvert(request.get(), reply.node);
    out.message = request.message();
    out.output = request.output();
    return out;
}

}  // namespace mira
