// Typed JSON values of the daemon's attributes, and the key=value form.
#include "output_json.h"

#include <cstdlib>
#include <ctime>

#include "configure.h"
#include "mira/control/control_text.h"

namespace coilctl {

namespace {

using Json = nlohmann::ordered_json;

enum class Kind { Text, Number, Boolean, Time };

// The attributes of the configuration objects that are not text.
Kind kindOf(const std::string& name) {
    static const char* const kNumbers[] = {
        "vlanIfInstance", "disablePort",  "interval", "clientType", "txpkts",   "retry",      "rxpkts",
        "action",         "numPorts",     "pollType", "statusFlag", "pollCount", "cmd",       "coilClients",
        "disablePortWaitTime", "disablePortDuration", "loops",      "instance", "tag",
    };
    if (name == "enable" || name == "clearCounter" || name == "disabledNow") return Kind::Boolean;
    if (name == "timeDisabled" || name == "lastLoop" || name == "until") return Kind::Time;
    for (const char* n : kNumbers)
        if (name == n) return Kind::Number;
    return Kind::Text;
}

Json typedValue(const std::string& name, const std::string& text) {
    switch (kindOf(name)) {
        case Kind::Number: {
            char* end = nullptr;
            const unsigned long long n = std::strtoull(text.c_str(), &end, 10);
            if (!text.empty() && text[0] != '-' && *end == '\0') return n;
            return text;
        }
        case Kind::Boolean:
            if (text == "true") return true;
            if (text == "false") return false;
            return text;
        case Kind::Time: return isoTime(text);
        case Kind::Text: break;
    }
    std::string trimmed = text;
    while (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
    return trimmed;
}

const char* pollTypeWord(const std::string& code) {
    if (code == "1") return "counted";
    if (code == "2") return "continuous";
    return nullptr;
}

// Recurses once per level of coilctl's own documents (three at most).
void flatten(const Json& value, const std::string& key, std::string* out) {  // NOLINT(misc-no-recursion)
    if (value.is_object() || value.is_array()) {
        size_t index = 0;
        for (auto it = value.begin(); it != value.end(); ++it, ++index) {
            const std::string part = value.is_object() ? it.key() : std::to_string(index);
            flatten(*it, key.empty() ? part : std::string(key).append(1, '.').append(part), out);  // NOLINT(misc-no-recursion)
        }
        return;
    }
    std::string text = value.is_string() ? value.get<std::string>() : value.dump();
    std::string escaped;
    for (char c : text) {
        if (c == '\n') escaped += "\\n";
        else if (c == '\\') escaped += "\\\\";
        else escaped += c;
    }
    out->append(key).append(1, '=').append(escaped).append(1, '\n');
}

}  // namespace

std::string isoTime(const std::string& asctimeText) {
    std::tm tm{};
    const char* end = strptime(asctimeText.c_str(), "%a %b %d %H:%M:%S %Y", &tm);
    if (end == nullptr || (*end != '\0' && *end != '\n')) return asctimeText;
    tm.tm_isdst = -1;
    return mira::control::isoLocalTime(std::mktime(&tm));
}

Json typedRecord(const mira::control::XmlRecord& record) {
    Json out;
    out["object"] = record.object;
    for (const auto& [name, text] : record.attrs) {
        out[name] = typedValue(name, text);
        if (name == "action") {
            const char* word = actionWord(text);
            out["actionName"] = word ? word : text == "0" ? "none" : "unknown";
        } else if (name == "pollType") {
            const char* word = pollTypeWord(text);
            out["pollTypeName"] = word ? word : "unknown";
        }
    }
    return out;
}

std::string keyValueLines(const Json& document) {
    std::string out;
    flatten(document, "", &out);
    return out;
}

}  // namespace coilctl
