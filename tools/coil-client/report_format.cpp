// A report as one line of text or one JSON object.
#include <cstdio>

#include "coil_client_tool.h"

namespace coilclient {

namespace {

std::string jsonString(const char* s) {
    std::string out = "\"";
    for (; *s != '\0'; ++s) {
        const unsigned char c = static_cast<unsigned char>(*s);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

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
    return std::string("{\"report\":") + (r.loop ? "\"loop\"" : "\"no-loop\"") +
           ",\"msgType\":" + std::to_string(m.msgType) + ",\"clientId\":" + jsonString(r.clientId) +
           ",\"vlanIfInstance\":" + std::to_string(r.vlanIfInstance) + ",\"vlan\":" + jsonString(r.vlan) +
           ",\"ingress\":\"" + portText(r.ingress) + "\",\"ingressLogical\":\"" + portText(r.ingressLogical) +
           "\",\"egress\":\"" + portText(r.egress) + "\",\"probeVlanInstance\":" +
           std::to_string(r.probeVlanInstance) + ",\"txPortId\":" + std::to_string(m.txPortId) +
           ",\"pollType\":" + std::to_string(m.pollType) + ",\"count\":" + std::to_string(m.count) +
           ",\"interval\":" + std::to_string(m.timeout) + ",\"numPorts\":" + std::to_string(m.numPorts) +
           ",\"vr\":" + std::to_string(m.vr) + ",\"seq\":" + std::to_string(m.seq) +
           ",\"statusFlag\":" + std::to_string(m.statusFlag) + "}";
}

}  // namespace coilclient
