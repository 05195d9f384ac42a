// `coilctl configure VLAN [option value]...`: the option words and what
// each one sets in the coilServiceNode request.
#include <cstring>

#include "configure.h"

namespace coilctl {

namespace {

struct ActionWord {
    const char* word;
    const char* value;
};
// The report actions of a service (the object's action attribute).
constexpr ActionWord kActions[] = {
    {"report", "1"}, {"log", "2"}, {"report-log", "3"}, {"trap", "4"}, {"log-trap", "5"},
};

struct Option {
    const char* word;
    // Adds the option's attributes for its value; false with the reason.
    bool (*apply)(const std::string& value, std::vector<mira::CmAttr>* attrs, std::string* error);
};

bool digits(const std::string& s) {
    return !s.empty() && s.size() <= 9 && s.find_first_not_of("0123456789") == std::string::npos;
}

bool interval(const std::string& v, std::vector<mira::CmAttr>* attrs, std::string* error) {
    if (!digits(v)) return *error = "interval takes a number of seconds", false;
    attrs->push_back({"interval", v});
    return true;
}

bool count(const std::string& v, std::vector<mira::CmAttr>* attrs, std::string* error) {
    if (!digits(v)) return *error = "count takes a number of probes", false;
    attrs->push_back({"retry", v});
    return true;
}

bool ports(const std::string& v, std::vector<mira::CmAttr>* attrs, std::string*) {
    attrs->push_back({"ports", v});
    return true;
}

bool action(const std::string& v, std::vector<mira::CmAttr>* attrs, std::string* error) {
    for (const ActionWord& a : kActions) {
        if (v == a.word) {
            attrs->push_back({"action", a.value});
            return true;
        }
    }
    *error = "action is one of report, log, report-log, trap, log-trap";
    return false;
}

bool disablePort(const std::string& v, std::vector<mira::CmAttr>* attrs, std::string* error) {
    if (v != "permanent" && !digits(v)) return *error = "disable-port takes a number of seconds or permanent", false;
    attrs->push_back({"disablePort", "1"});
    attrs->push_back({"disablePortDuration", v == "permanent" ? "0" : v});
    return true;
}

constexpr Option kOptions[] = {
    {"interval", interval}, {"count", count}, {"ports", ports}, {"action", action}, {"disable-port", disablePort},
};

}  // namespace

const char* actionWord(const std::string& value) {
    for (const ActionWord& a : kActions)
        if (value == a.value) return a.word;
    return nullptr;
}

bool configureAttrs(const Args& args, std::vector<mira::CmAttr>* attrs, std::string* error) {
    if (args.empty()) return *error = "VLAN missing", false;
    std::vector<mira::CmAttr> out{{"clientIdentifier", "1"},
                                  {"vlanIfInstance", "0"},
                                  {"vlan", args[0]},
                                  {"rowStatus", "createAndGo"}};
    bool seen[std::size(kOptions)] = {};
    for (size_t i = 1; i < args.size(); i += 2) {
        size_t k = 0;
        while (k < std::size(kOptions) && args[i] != kOptions[k].word) k++;
        if (k == std::size(kOptions)) return *error = "unknown option \"" + args[i] + "\"", false;
        if (seen[k]) return *error = args[i] + " given twice", false;
        if (i + 1 >= args.size()) return *error = args[i] + " needs a value", false;
        seen[k] = true;
        if (!kOptions[k].apply(args[i + 1], &out, error)) return false;
    }
    // Defaults: a probe every 5 seconds, reported as text and in the event log.
    if (!seen[0]) out.push_back({"interval", std::to_string(kDefaultInterval)});
    if (!seen[3]) out.push_back({"action", "3"});
    *attrs = std::move(out);
    return true;
}

}  // namespace coilctl
