// The client message on the wire: big-endian, field by field. One walk over
// the fields serves both directions, so the two cannot drift apart.
#include <cstddef>
#include <cstring>

#include "coil_client.h"

// The host form keeps the wire offsets (no padding anywhere).
static_assert(sizeof(coilClientPortList) == 1028);
static_assert(sizeof(coilClientMessage) == COIL_CLIENT_MESSAGE_SIZE);
static_assert(offsetof(coilClientMessage, vlanIfInstance) == 32);
static_assert(offsetof(coilClientMessage, msgType) == 40);
static_assert(offsetof(coilClientMessage, targetVlanIfInstance) == 56);
static_assert(offsetof(coilClientMessage, ports) == 64);
static_assert(offsetof(coilClientMessage, pollType) == 1092);
static_assert(offsetof(coilClientMessage, reserved1) == 1116);
static_assert(offsetof(coilClientMessage, vlan) == 1120);
static_assert(offsetof(coilClientMessage, extTag) == 1154);
static_assert(offsetof(coilClientMessage, inPifSlot) == 1156);
static_assert(offsetof(coilClientMessage, inLifSlot) == 1160);
static_assert(offsetof(coilClientMessage, txVlanId) == 1164);
static_assert(offsetof(coilClientMessage, txPortId) == 1168);

namespace {

struct Writer {
    uint8_t* p;
    void u8(const uint8_t& v) { *p++ = v; }
    void u16(const uint16_t& v) {
        p[0] = uint8_t(v >> 8), p[1] = uint8_t(v);
        p += 2;
    }
    void u32(const uint32_t& v) {
        p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
        p += 4;
    }
    void bytes(const void* v, size_t n) { std::memcpy(p, v, n), p += n; }
};

struct Reader {
    const uint8_t* p;
    void u8(uint8_t& v) { v = *p++; }
    void u16(uint16_t& v) {
        v = uint16_t(p[0] << 8 | p[1]);
        p += 2;
    }
    void u32(uint32_t& v) {
        v = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
        p += 4;
    }
    void bytes(void* v, size_t n) { std::memcpy(v, p, n), p += n; }
};

template <typename IO, typename Msg>
void walk(IO& io, Msg& m) {
    io.bytes(m.clientId, sizeof m.clientId);
    io.u32(m.vlanIfInstance);
    io.u8(m.clientType);
    io.bytes(m.reserved, sizeof m.reserved);
    io.u32(m.msgType);
    io.u32(m.vr);
    io.u32(m.seq);
    io.u32(m.statusFlag);
    io.u32(m.targetVlanIfInstance);
    io.u32(m.numPorts);
    io.u32(m.ports.word0);
    for (auto& group : m.ports.group)
        for (auto& word : group) io.u32(word);
    io.u32(m.pollType);
    io.u32(m.count);
    io.u32(m.timeout);
    io.u32(m.action);
    io.u32(m.disablePort);
    io.u32(m.disablePortDuration);
    io.bytes(m.reserved1, sizeof m.reserved1);
    io.bytes(m.vlan, sizeof m.vlan);
    io.u8(m.noVpifs);
    io.u8(m.reserved2);
    io.u16(m.extTag);
    io.u16(m.inPifSlot);
    io.u16(m.inPifPort);
    io.u16(m.inLifSlot);
    io.u16(m.inLifPort);
    io.u32(m.txVlanId);
    io.u32(m.txPortId);
}

}  // namespace

extern "C" {

void coilClientEncode(const coilClientMessage* msg, uint8_t* out) {
    Writer w{out};
    walk(w, *msg);
}

int coilClientDecode(const uint8_t* data, size_t length, coilClientMessage* msg) {
    if (data == nullptr || msg == nullptr || length != COIL_CLIENT_MESSAGE_SIZE) return -1;
    Reader r{data};
    walk(r, *msg);
    msg->clientId[sizeof msg->clientId - 1] = '\0';
    msg->vlan[sizeof msg->vlan - 1] = '\0';
    return 0;
}

}  // extern "C"
