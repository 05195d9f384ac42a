// A report as one line of text or one JSON object.
#include <cstdio>

#include <nlohmann/json.hpp>

#include "coil_client_tool.h"

namespace coilclient {

namespace {

// Texts from the wire are printed with anything unprintable replaced.
std::string printable(const char* s) {
    std::string out;
    for (; *s != '\0'; ++s) out += (*s > 0x20 && *s < 0x7f) ? *s : '?';
    return out.empty() ? "-" : out;
}

}  // namespace

std::string portText(coilClientPort p) { return std::to_string(p.slot) + ":" + std::to_string(p.port); }

std::string reportLine(const coilClientReport& r) {
    std::string line = std::string(r.loop ? "loop" : "no-loop") + " client=" + printable(r.clientId) +
                       " vlan=" + std::to_string(r.vlanIfInstance) + " name=" + printable(r.vlan);
    if (r.loop)
        line += " ingress=" + portText(r.ingress) + " ingress-logical=" + portText(r.ingressLogical) +
                " egress=" + portText(r.egress) + " probe-vlan=" + std::to_string(r.probeVlanInstance);
    return line;
}

std::string reportJson(const coilClientReport& r) {
    const coilClientMessage& m = r.message;
    nlohmann::ordered_json j;
    j["report"] = r.loop ? "loop" : "no-loop";
    j["msgType"] = m.msgType;
    j["clientId"] = r.clientId;
    j["vlanIfInstance"] = r.vlanIfInstance;
    j["vlan"] = r.vlan;
    j["ingress"] = portText(r.ingress);
    j["ingressLogical"] = portText(r.ingressLogical);
    j["egress"] = portText(r.egress);
    j["probeVlanInstance"] = r.probeVlanInstance;
    j["txPortId"] = m.txPortId;
    j["pollType"] = m.pollType;
    j["pollTypeName"] = m.pollType == COIL_CLIENT_POLL_COUNTED      ? "counted"
                        : m.pollType == COIL_CLIENT_POLL_CONTINUOUS ? "continuous"
                                                                    : "unknown";
    j["count"] = m.count;
    j["interval"] = m.timeout;
    j["numPorts"] = m.numPorts;
    j["vr"] = m.vr;
    j["seq"] = m.seq;
    j["statusFlag"] = m.statusFlag;
    return jsonText(j);
}

std::string jsonText(const nlohmann::ordered_json& j) {
    // Texts from the wire that are not UTF-8 are shown with U+FFFD.
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace coilclient
