// The configuration manager's request path: name lookup, node building,
// the application's seven operations, the answer; and the walk.
#include "mira/core/cmmgr.h"

#include <cstring>
#include <utility>

#include "mira/core/cm.h"

namespace mira {

namespace {

// A walk that has not ended after this many steps is stopped: the
// application keeps answering with the same key.
constexpr int kMaxWalkSteps = 1 << 16;

cmBackendApp_t gApp{};
bool gAppInitialised = false;

const cmBackendApp_t& app() {
    if (!gAppInitialised) {
        gAppInitialised = cmBackendApplicationInit(&gApp) == 1;
    }
    return gApp;
}

void freeNode(cmObject_t* node) {
    if (node == nullptr) return;
    if (node->info == nullptr)
        cmObject_t_free(node);  // an empty reply: nothing attached
    else
        cmObjectFree(node, CM_FREE_RECORDS | CM_FREE_NODE);
}

// Frees a node with its records, whatever it holds.
struct NodeOwner {
    cmObject_t* node = nullptr;
    ~NodeOwner() { freeNode(node); }
};

// Frees one record (and the chain after it) of an object type.
void freeRecord(const cmInfoEntry_t* info, void* record) {
    if (record == nullptr) return;
    cmObject_t* holder = cmObject_t_alloc();
    if (holder == nullptr) return;
    holder->info = info;
    holder->record = record;
    cmObjectFree(holder, CM_FREE_RECORDS | CM_FREE_NODE);
}

}  // namespace

const cmBackendApp_t& cmApplication() { return app(); }

const cmInfoEntry_t* cmLookup(std::string_view name, uint32_t kind) {
    const cmInfoEntry_t* table = app().objectTable;
    if (table == nullptr) return nullptr;
    for (const cmInfoEntry_t* e = table; e->name != nullptr; e++)
        if (e->kind == kind && name == e->name) return e;
    return nullptr;
}

CmPrepared::~CmPrepared() { freeNode(node_); }

CmPrepared::CmPrepared(CmPrepared&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}

CmPrepared& CmPrepared::operator=(CmPrepared&& other) noexcept {
    if (this != &other) {
        freeNode(node_);
        node_ = std::exchange(other.node_, nullptr);
    }
    return *this;
}

bool cmPrepare(std::string_view method, std::string_view object, const std::vector<CmAttr>& attrs,
               CmPrepared* out, std::string* error) {
    const cmInfoEntry_t* methodEntry = cmLookup(method, CM_INFO_METHOD);
    if (methodEntry == nullptr) {
        *error = "Unknown method " + std::string(method) + ".";
        return false;
    }
    const cmInfoEntry_t* objectEntry = cmLookup(object, CM_INFO_OBJECT);
    if (objectEntry == nullptr) {
        *error = "Unknown object " + std::string(object) + ".";
        return false;
    }
    NodeOwner node{cmObjectAlloc(objectEntry)};
    if (node.node == nullptr) {
        *error = "Internal error --> cannot allocate object " + std::string(object) + ".";
        return false;
    }
    node.node->method = methodEntry;
    for (const CmAttr& a : attrs) {
        const cmInfoEntry_t* attrEntry = cmLookup(a.name, CM_INFO_ATTRIBUTE);
        if (attrEntry == nullptr) {
            *error = "Unknown attribute " + a.name + " of object " + std::string(object) + ".";
            return false;
        }
        cmObject_t attr{};
        attr.info = attrEntry;
        attr.record = const_cast<char*>(a.value.c_str());
        if (cmObjectSetData(node.node, &attr) != 0) {
            *error = "Invalid value \"" + a.value + "\" for attribute " + a.name + ".";
            return false;
        }
    }
    CmPrepared prepared;
    prepared.node_ = std::exchange(node.node, nullptr);
    *out = std::move(prepared);
    return true;
}

CmResult cmExecute(CmPrepared& prepared, uint32_t flags) {
    CmResult out;
    out.rc = -1;
    if (prepared.empty()) {
        out.message = "Internal error --> empty request.";
        return out;
    }
    CmRequest request;
    request->flags = flags;
    NodeOwner reply{cmObject_t_alloc()};
    reply.node->method = prepared.node()->method;
    request->reply = reply.node;
    out.rc = cmBackendAction(request.get(), prepared.node());
    out.result = request->result;
    if (reply.node->record != nullptr) {
        cmBackendConvert(request.get(), reply.node);
        out.records = 1;
    }
    // A walk flag given to a single request leaves a record in the slot.
    freeRecord(reply.node->info ? reply.node->info : prepared.node()->info, request->walkSlot);
    out.message = request.message();
    out.output = request.output();
    return out;
}

CmResult cmRun(std::string_view method, std::string_view object, const std::vector<CmAttr>& attrs, uint32_t flags) {
    CmPrepared prepared;
    std::string error;
    if (!cmPrepare(method, object, attrs, &prepared, &error)) {
        CmResult out;
        out.rc = -1;
        out.message = error;
        return out;
    }
    return cmExecute(prepared, flags);
}

CmResult cmWalk(std::string_view object, const std::vector<CmAttr>& start, uint32_t flags,
                std::vector<std::string>* steps) {
    CmResult out;
    out.rc = -1;
    CmPrepared key;
    if (!cmPrepare("get", object, start, &key, &out.message)) return out;
    cmObject_t* keyNode = key.node();
    const cmInfoEntry_t* info = keyNode->info;
    void* const ownKey = keyNode->record;
    void* detached = nullptr;  // a reply record taken out to key the next step

    CmRequest request;
    request->flags = (flags & ~CM_FLAG_EXACT) | CM_FLAG_NEXT | CM_FLAG_WALK;
    if ((request->flags & CM_FLAG_COUNT_MASK) == 0) request->flags |= 1;
    for (int step = 0; step < kMaxWalkSteps; step++) {
        NodeOwner reply{cmObject_t_alloc()};
        reply.node->method = keyNode->method;
        request->reply = reply.node;
        out.rc = cmBackendAction(request.get(), keyNode);
        out.result = request->result;
        request->reply = nullptr;
        if (out.rc != 1 || reply.node->record == nullptr) break;
        cmBackendConvert(request.get(), reply.node);
        std::string xml = request.output();
        out.output += xml;
        if (steps) steps->push_back(std::move(xml));
        out.records++;
        // The next step is keyed by this step's record: the walk slot holds
        // it for the two configuration objects; for the others it is taken
        // out of the reply.
        void* next = request->walkSlot;
        void* previousDetached = detached;
        detached = nullptr;
        if (next == nullptr) {
            next = reply.node->record;
            reply.node->record = nullptr;
            detached = next;
        }
        keyNode->record = next;
        freeRecord(info, previousDetached);
        if (out.result != 2) break;  // an object of one record
        if (step + 1 == kMaxWalkSteps) out.message += "Walk stopped after " + std::to_string(kMaxWalkSteps) + " steps.";
    }
    keyNode->record = ownKey;
    freeRecord(info, detached);
    freeRecord(info, request->walkSlot);
    request->walkSlot = nullptr;
    out.message = request.message() + out.message;
    return out;
}

}  // namespace mira
