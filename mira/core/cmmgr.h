// The configuration manager behind the backend library: it turns one
// operator request (method, object, attribute texts, flags) into object and
// attribute nodes through the application's name table, runs the
// application's operations on them, and collects the answer. It also walks
// an object (repeated next requests) and prepares requests ahead of running
// them, so that a whole saved configuration is checked before any of it is
// applied.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cmbackend.h"
#include "mira/core/cm.h"

namespace mira {

struct CmAttr {
    std::string name;
    std::string value;
};

struct CmResult {
    int rc = 0;          // what cmBackendAction returned; -1 when the request was not run
    int32_t result = 0;  // the request's result word
    std::string message; // the message buffer (or the manager's own error)
    std::string output;  // the XML of the reply (gets; a walk: every step's, in order)
    int records = 0;     // records a walk produced
};

// A request whose object node is built and filled but not yet run. Owns the
// node and its records.
class CmPrepared {
public:
    CmPrepared() = default;
    ~CmPrepared();
    CmPrepared(CmPrepared&& other) noexcept;
    CmPrepared& operator=(CmPrepared&& other) noexcept;
    CmPrepared(const CmPrepared&) = delete;
    CmPrepared& operator=(const CmPrepared&) = delete;

    bool empty() const { return node_ == nullptr; }
    cmObject_t* node() { return node_; }

private:
    friend bool cmPrepare(std::string_view, std::string_view, const std::vector<CmAttr>&, CmPrepared*,
                          std::string*);
    cmObject_t* node_ = nullptr;
};

// Looks the names up and fills the object's record from the attribute
// texts. False, with the reason in *error, on an unknown method, object or
// attribute, or a value the object refuses.
bool cmPrepare(std::string_view method, std::string_view object, const std::vector<CmAttr>& attrs,
               CmPrepared* out, std::string* error);
// Runs a prepared request once with the given flags.
CmResult cmExecute(CmPrepared& request, uint32_t flags);

// Runs one get or set request.
CmResult cmRun(std::string_view method, std::string_view object, const std::vector<CmAttr>& attrs,
               uint32_t flags = 0);

// Walks an object: get requests with the walk and next flags, each keyed by
// the record the step before returned (the one the walk slot holds), from
// the key given in start (none: from the first entry). Ends when a step
// returns no record, or after a step whose result is not 2 (an object of
// one record, such as coilGlobalCfg, takes one step). The count of entries
// asked for per step is the low 16 bits of flags, 1 when they are 0.
// *steps, when given, receives each step's XML.
CmResult cmWalk(std::string_view object, const std::vector<CmAttr>& start, uint32_t flags = 0,
                std::vector<std::string>* steps = nullptr);

// The same walk a step at a time, so that a long one can be answered as its
// reader takes it. It holds only its key between steps: what changes
// meanwhile is seen as a walk of a changing table sees it.
class CmWalker {
public:
    CmWalker() = default;
    ~CmWalker();
    CmWalker(const CmWalker&) = delete;
    CmWalker& operator=(const CmWalker&) = delete;

    // False, with the reason in *error, when the object or a key attribute
    // is refused.
    bool begin(std::string_view object, const std::vector<CmAttr>& start, uint32_t flags, std::string* error);
    // Runs the next step: true with its XML in *xml, false when the walk has
    // ended (then result() is complete).
    bool step(std::string* xml);
    // rc, result word, records and message so far; output stays empty.
    const CmResult& result() const { return out_; }

private:
    void finish();

    CmPrepared key_;
    const cmInfoEntry_t* info_ = nullptr;
    void* ownKey_ = nullptr;
    void* detached_ = nullptr;  // a reply record taken out to key the next step
    CmRequest request_;
    CmResult out_;
    int steps_ = 0;
    bool done_ = true;
};

// The application's name tables (from cmBackendApplicationInit); null
// entries until the application answered.
const cmBackendApp_t& cmApplication();
// Looks a name up in the application's object table; null when unknown.
const cmInfoEntry_t* cmLookup(std::string_view name, uint32_t kind);

}  // namespace mira
