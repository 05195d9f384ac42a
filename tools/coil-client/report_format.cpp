// A report as one line of text or one JSON object.
#include <cstdint>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "coil_client_tool.h"

namespace coilclient {

namespace {

// Length of a well-formed UTF-8 sequence of 2 to 4 bytes of printable text
// at s (no overlong form, surrogate, C1 control or value above U+10FFFF),
// else 0: a VLAN name may be any text.
size_t utf8Printable(const char* s) {
    const auto b = [s](int i) { return static_cast<unsigned char>(s[i]); };
    int length = 0;
    uint32_t code = 0, least = 0;
    if (b(0) >= 0xc2 && b(0) <= 0xdf) {
        length = 2, code = b(0) & 0x1fu, least = 0xa0;  // from U+00A0: no C1 control
    } else if (b(0) >= 0xe0 && b(0) <= 0xef) {
        length = 3, code = b(0) & 0x0fu, least = 0x800;
    } else if (b(0) >= 0xf0 && b(0) <= 0xf4) {
        length = 4, code = b(0) & 0x07u, least = 0x10000;
    } else {
        return 0;
    }
    for (int i = 1; i < length; i++) {
        if ((b(i) & 0xc0u) != 0x80) return 0;  // also stops at the terminating NUL
        code = (code << 6) | (b(i) & 0x3fu);
    }
    if (code < least || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
    return size_t(length);
}

// Texts from the wire are printed with anything unprintable replaced.
std::string printable(const char* s) {
    std::string out;
    while (*s != '\0') {
        if (const size_t n = utf8Printable(s); n > 0) {
            out.append(s, n);
            s += n;
        } else {
            out += (*s > 0x20 && *s < 0x7f) ? *s : '?';
            ++s;
        }
    }
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
