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

CmWalker::~CmWalker() { finish(); }

bool CmWalker::begin(std::string_view object, const std::vector<CmAttr>& start, uint32_t flags, std::string* error) {
    finish();
    out_ = CmResult{};
    out_.rc = -1;
    if (!cmPrepare("get", object, start, &key_, error)) return false;
    info_ = key_.node()->info;
    ownKey_ = key_.node()->record;
    request_->flags = (flags & ~CM_FLAG_EXACT) | CM_FLAG_NEXT | CM_FLAG_WALK;
    if ((request_->flags & CM_FLAG_COUNT_MASK) == 0) request_->flags |= 1;
    steps_ = 0;
    done_ = false;
    return true;
}

bool CmWalker::step(std::string* xml) {
    if (done_) {
        finish();
        return false;
    }
    if (steps_ == kMaxWalkSteps) {
        out_.message += "Walk stopped after " + std::to_string(kMaxWalkSteps) + " steps.";
        finish();
        return false;
    }
    steps_++;
    cmObject_t* keyNode = key_.node();
    NodeOwner reply{cmObject_t_alloc()};
    reply.node->method = keyNode->method;
    request_->reply = reply.node;
    out_.rc = cmBackendAction(request_.get(), keyNode);
    out_.result = request_->result;
    request_->reply = nullptr;
    if (out_.rc != 1 || reply.node->record == nullptr) {
        finish();
        return false;
    }
    cmBackendConvert(request_.get(), reply.node);
    *xml = request_.output();
    out_.records++;
    // The next step is keyed by this step's record: the walk slot holds it
    // for the two configuration objects; for the others it is taken out of
    // the reply.
    void* next = request_->walkSlot;
    void* previousDetached = detached_;
    detached_ = nullptr;
    if (next == nullptr) {
        next = reply.node->record;
        reply.node->record = nullptr;
        detached_ = next;
    }
    keyNode->record = next;
    freeRecord(info_, previousDetached);
    if (out_.result != 2) done_ = true;  // an object of one record: this step was the last
    return true;
}

void CmWalker::finish() {
    if (key_.empty()) return;
    key_.node()->record = ownKey_;
    freeRecord(info_, detached_);
    freeRecord(info_, request_->walkSlot);
    request_->walkSlot = nullptr;
    detached_ = nullptr;
    out_.message = request_.message() + out_.message;
    key_ = CmPrepared{};
    done_ = true;
}

CmResult cmWalk(std::string_view object, const std::vector<CmAttr>& start, uint32_t flags,
                std::vector<std::string>* steps) {
    CmWalker walker;
    CmResult out;
    if (!walker.begin(object, start, flags, &out.message)) {
        out.rc = -1;
        return out;
    }
    for (std::string xml; walker.step(&xml);) {
        out.output += xml;
        if (steps) steps->push_back(std::move(xml));
    }
    std::string output = std::move(out.output);
    out = walker.result();
    out.output = std::move(output);
    return out;
}

}  // namespace mira
