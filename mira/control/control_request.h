// The fields of a configuration manager request on the control socket
// (frame type kTypeCm):
//   method=get|set        required
//   object=NAME           required, an object of the daemon's name table
//   flag=WORD             repeatable: exact, next, walk, implied, row-status
//   count=N               entries asked for (0..65535; the flag word's low 16 bits)
//   attr=NAME=VALUE       repeatable, in order
// With flag=walk the manager walks the object from the key the attributes
// give (see cmWalk) instead of running one request.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "mira/core/cmmgr.h"
#include "mira/control/control_message.h"

namespace mira::control {

struct CmSpec {
    std::string method;
    std::string object;
    uint32_t flags = 0;  // the request flag bits and the count
    std::vector<CmAttr> attrs;
};

Message encodeCmSpec(const CmSpec& spec);
// False, with what is wrong in *error, for a missing or malformed field.
bool decodeCmSpec(const Message& message, CmSpec* out, std::string* error);

// Flag words and their bits.
struct FlagName {
    const char* word;
    uint32_t bit;
};
extern const FlagName kFlagNames[5];

}  // namespace mira::control
