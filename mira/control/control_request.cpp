// Encoding and checking of configuration manager requests.
#include "mira/control/control_request.h"

#include "cmbackend.h"

namespace mira::control {

const FlagName kFlagNames[5] = {
    {"exact", CM_FLAG_EXACT},         {"next", CM_FLAG_NEXT},
    {"walk", CM_FLAG_WALK},           {"implied", CM_FLAG_IMPLIED_ROW_STATUS},
    {"row-status", CM_FLAG_ROW_STATUS_OUTPUT},
};

Message encodeCmSpec(const CmSpec& spec) {
    Message m;
    m.add("method", spec.method).add("object", spec.object);
    for (const FlagName& f : kFlagNames)
        if (spec.flags & f.bit) m.add("flag", f.word);
    if (spec.flags & CM_FLAG_COUNT_MASK) m.add("count", std::to_string(spec.flags & CM_FLAG_COUNT_MASK));
    for (const CmAttr& a : spec.attrs) m.add("attr", a.name + "=" + a.value);
    return m;
}

bool decodeCmSpec(const Message& message, CmSpec* out, std::string* error) {
    if (!checkKeys(message, {"method", "object", "flag", "count", "attr"}, error)) return false;
    CmSpec spec;
    spec.method = message.get("method");
    spec.object = message.get("object");
    if (spec.method != "get" && spec.method != "set") {
        *error = "method must be get or set";
        return false;
    }
    if (spec.object.empty()) {
        *error = "object missing";
        return false;
    }
    for (const std::string& word : message.all("flag")) {
        bool known = false;
        for (const FlagName& f : kFlagNames) {
            if (word == f.word) {
                spec.flags |= f.bit;
                known = true;
            }
        }
        if (!known) {
            *error = "unknown flag \"" + word + "\"";
            return false;
        }
    }
    if (const std::string* count = message.first("count")) {
        uint32_t value = 0;
        bool ok = !count->empty() && count->size() <= 5;
        for (char c : *count) {
            ok = ok && c >= '0' && c <= '9';
            if (ok) value = value * 10 + uint32_t(c - '0');
        }
        if (!ok || value > CM_FLAG_COUNT_MASK) {
            *error = "count must be a number from 0 to 65535";
            return false;
        }
        spec.flags |= value;
    }
    for (const std::string& attr : message.all("attr")) {
        const size_t eq = attr.find('=');
        if (eq == std::string::npos || eq == 0) {
            *error = "attr \"" + attr + "\" is not NAME=VALUE";
            return false;
        }
        spec.attrs.push_back({attr.substr(0, eq), attr.substr(eq + 1)});
    }
    *out = std::move(spec);
    return true;
}

}  // namespace mira::control
