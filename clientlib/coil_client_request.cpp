// Building requests and reading reports: port lists, their text form, and
// the fields a request fills.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "coil_client.h"

namespace {

constexpr unsigned kMaxPort = 256;

void setError(char* error, size_t size, const char* text) {
    if (error != nullptr && size > 0) std::snprintf(error, size, "%s", text);
}

// A decimal number of at most 5 digits at *p; advances past it.
bool number(const char*& p, unsigned long& out) {
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    out = 0;
    int digits = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        if (++digits > 5) return false;
        out = out * 10 + unsigned(*p++ - '0');
    }
    return true;
}

int countPorts(const coilClientPortList& list) {
    int n = 0;
    for (const auto& group : list.group)
        for (uint32_t word : group) n += __builtin_popcount(word);
    return n;
}

}  // namespace

extern "C" {

int coilClientPortListAdd(coilClientPortList* list, uint16_t firstSlot, coilClientPort port) {
    if (list == nullptr || port.slot < firstSlot || port.port < 1 || port.port > kMaxPort) return -1;
    const unsigned group = unsigned(port.slot - firstSlot) % 32, bit = port.port - 1u;
    list->group[group][bit / 32] |= 0x80000000u >> (bit % 32);
    return 0;
}

int coilClientParsePorts(const char* text, coilClientPort* out, size_t max) {
    if (text == nullptr || *text == '\0') return -1;
    size_t count = 0;
    const char* p = text;
    for (;;) {
        unsigned long slot, first, last;
        if (!number(p, slot) || *p++ != ':' || !number(p, first)) return -1;
        last = first;
        if (*p == '-') {
            ++p;
            if (!number(p, last)) return -1;
            if (*p == ':') {  // "1:3-1:5": the range stays within its slot
                if (last != slot) return -1;
                ++p;
                if (!number(p, last)) return -1;
            }
        }
        if (slot > 0xffff || first < 1 || last > kMaxPort || last < first) return -1;
        for (unsigned long port = first; port <= last; ++port, ++count)
            if (count < max && out != nullptr) out[count] = coilClientPort{uint16_t(slot), uint16_t(port)};
        if (*p == '\0') break;
        if (*p++ != ',') return -1;
    }
    return int(count);
}

int coilClientBuildRequest(coilClientMessage* msg, uint32_t msgType, const char* clientId, uint32_t vlanIfInstance,
                           const coilClientPort* ports, size_t numPorts, uint16_t firstSlot, uint32_t count,
                           uint32_t interval, char* error, size_t errorSize) {
    if (msg == nullptr) return setError(error, errorSize, "no message to fill"), -1;
    if (msgType < COIL_CLIENT_REGISTER || msgType > COIL_CLIENT_DEREGISTER)
        return setError(error, errorSize, "unknown request type"), -1;
    const size_t idLength = clientId != nullptr ? std::strlen(clientId) : 0;
    if (idLength == 0 || idLength >= COIL_CLIENT_TEXT_SIZE)
        return setError(error, errorSize, "a client identifier has 1 to 31 characters"), -1;
    if (msgType == COIL_CLIENT_START_POLL && interval == 0)
        return setError(error, errorSize, "the poll interval is at least 1 second"), -1;

    coilClientMessage m;
    std::memset(&m, 0, sizeof m);
    std::memcpy(m.clientId, clientId, idLength);
    m.vlanIfInstance = vlanIfInstance;
    m.clientType = 1;
    m.msgType = msgType;
    m.targetVlanIfInstance = vlanIfInstance;
    for (size_t i = 0; i < numPorts; ++i) {
        if (coilClientPortListAdd(&m.ports, firstSlot, ports[i]) != 0) {
            char text[96];
            std::snprintf(text, sizeof text, "port %u:%u cannot be listed (slots from %u, ports 1..%u)",
                          unsigned(ports[i].slot), unsigned(ports[i].port), unsigned(firstSlot), kMaxPort);
            return setError(error, errorSize, text), -1;
        }
    }
    m.numPorts = uint32_t(countPorts(m.ports));
    if (interval > 0) {
        m.pollType = count == 0 ? COIL_CLIENT_POLL_CONTINUOUS : COIL_CLIENT_POLL_COUNTED;
        m.count = count;
        m.timeout = interval;
    }
    *msg = m;
    return 0;
}

int coilClientReportFrom(const coilClientMessage* msg, coilClientReport* report) {
    if (msg == nullptr || report == nullptr) return -1;
    if (msg->msgType != COIL_CLIENT_REPORT_NO_LOOP && msg->msgType != COIL_CLIENT_REPORT_LOOP) return -1;
    coilClientReport r;
    std::memset(&r, 0, sizeof r);
    r.loop = msg->msgType == COIL_CLIENT_REPORT_LOOP;
    std::memcpy(r.clientId, msg->clientId, sizeof r.clientId);
    r.clientId[sizeof r.clientId - 1] = '\0';
    r.vlanIfInstance = msg->vlanIfInstance;
    std::memcpy(r.vlan, msg->vlan, sizeof r.vlan);
    r.vlan[sizeof r.vlan - 1] = '\0';
    r.ingress = coilClientPort{msg->inPifSlot, msg->inPifPort};
    r.ingressLogical = coilClientPort{msg->inLifSlot, msg->inLifPort};
    // A port word: slot in bits 16 to 23, port in bits 0 to 15.
    r.egress = coilClientPort{uint16_t((msg->txPortId >> 16) & 0xff), uint16_t(msg->txPortId & 0xffff)};
    r.probeVlanInstance = msg->txVlanId;
    r.message = *msg;
    *report = r;
    return 0;
}

}  // extern "C"
