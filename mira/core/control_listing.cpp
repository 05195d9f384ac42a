// VLAN and port listings from the switch backend, the daemon's port control
// list and the watch service's loop counts.
#include "mira/core/control_listing.h"

#include <map>
#include <set>

#include "cmbackend.h"
#include "mira/control/control_xml.h"
#include "mira/core/cmmgr.h"
#include "mira/core/switch_backend.h"
#include "mira/core/watch_service.h"
#include "vlanlib.h"

namespace mira::control {

namespace {

std::vector<std::string> splitCommas(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// A VLAN name of a port listing without its "(blocked)" mark.
std::string bareName(std::string name) {
    if (const size_t paren = name.find('('); paren != std::string::npos) name.erase(paren);
    return name;
}

// Every VLAN by name, those without ports too, with its ports in port order.
std::string vlanRecords() {
    std::map<std::string, std::vector<std::string>> ports;
    for (const SwitchPortInfo& p : activeSwitch().listPorts())
        for (const std::string& v : splitCommas(p.vlans)) ports[bareName(v)].push_back(p.name);
    std::map<std::string, vlanIf_t> vlans;
    for (const vlanIf_t& v : activeSwitch().listVlans()) vlans.emplace(v.name, v);
    std::string xml;
    for (const auto& [name, vlan] : vlans) {
        std::string list;
        for (const std::string& m : ports[name]) list += (list.empty() ? "" : ",") + m;
        xml += formatXmlRecord({"vlan",
                                {{"name", name},
                                 {"instance", std::to_string(vlan.vlanIfInstance)},
                                 {"tag", std::to_string(vlan.tag)},
                                 {"ports", list}}});
    }
    return xml;
}

struct Disabled {
    std::time_t since = 0;
    unsigned hold = 0;  // seconds, 0 permanent
};

// The daemon's disabled ports by port word (a walk of coilDisabledPortStatus).
std::map<uint32_t, Disabled> disabledPorts() {
    std::vector<XmlRecord> records;
    std::string error;
    const CmResult walk = cmWalk("coilDisabledPortStatus", {}, 1);
    std::map<uint32_t, Disabled> out;
    if (!parseXmlRecords(walk.output, &records, &error)) return out;
    for (const XmlRecord& r : records) {
        const std::string* port = r.find("disabledPort");
        PORTMASK_T word = 0;
        if (port == nullptr || STRING_TO_PORTMASK(port->c_str(), &word) == 0) continue;
        Disabled d;
        if (const std::string* t = r.find("timeDisabled")) {
            std::tm tm{};
            if (strptime(t->c_str(), "%a %b %d %H:%M:%S %Y", &tm) != nullptr) {
                tm.tm_isdst = -1;
                d.since = std::mktime(&tm);
            }
        }
        if (const std::string* h = r.find("disablePortDuration")) d.hold = unsigned(std::strtoul(h->c_str(), nullptr, 10));
        out[word] = d;
    }
    return out;
}

std::string portRecords() {
    const std::map<uint32_t, Disabled> disabled = disabledPorts();
    std::string xml;
    for (const SwitchPortInfo& p : activeSwitch().listPorts()) {
        const PortLoops loops = portLoops(p.word);
        auto d = disabled.find(p.word);
        const bool byDaemon = d != disabled.end();
        std::string until;
        if (byDaemon) until = d->second.hold == 0 ? "permanent" : isoLocalTime(d->second.since + d->second.hold);
        xml += formatXmlRecord({"port",
                                {{"name", p.name},
                                 {"group", p.group},
                                 {"admin", p.adminUp ? "enabled" : "disabled"},
                                 {"link", p.linkUp ? "up" : "down"},
                                 {"state", p.state},
                                 {"vlans", p.vlans},
                                 {"loops", std::to_string(loops.loops)},
                                 {"lastLoop", loops.last == 0 ? "" : isoLocalTime(loops.last)},
                                 {"disabledNow", byDaemon ? "true" : "false"},
                                 {"until", until}}});
    }
    return xml;
}

}  // namespace

Message answerShow(const Message& request) {
    std::string error;
    if (!checkKeys(request, {"what"}, &error)) {
        Message reply;
        return reply.add("status", "error").add("error", error);
    }
    const std::string what = request.get("what");
    Message reply;
    if (what == "vlans") return reply.add("status", "ok").add("output", vlanRecords());
    if (what == "ports") return reply.add("status", "ok").add("output", portRecords());
    return reply.add("status", "error").add("error", "what must be vlans or ports");
}

}  // namespace mira::control
