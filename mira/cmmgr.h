// The configuration manager behind the backend library: it turns one
// operator request (method, object, attribute texts, flags) into object and
// attribute nodes through the application's name table, runs the
// application's operations on them, and collects the answer.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cmbackend.h"

namespace mira {

struct CmAttr {
    std::string name;
    std::string value;
};

struct CmResult {
    int rc = 0;          // what cmBackendAction returned; -1 when the request was not run
    int32_t result = 0;  // the request's result word
    std::string message; // the message buffer (or the manager's own error)
    std::string output;  // the XML of the reply (gets)
};

// Runs one get or set request.
CmResult cmRun(std::string_view method, std::string_view object, const std::vector<CmAttr>& attrs,
               uint32_t flags = 0);

// The application's name tables (from cmBackendApplicationInit); null
// entries until the application answered.
const cmBackendApp_t& cmApplication();
// Looks a name up in the application's object table; null when unknown.
const cmInfoEntry_t* cmLookup(std::string_view name, uint32_t kind);

}  // namespace mira
