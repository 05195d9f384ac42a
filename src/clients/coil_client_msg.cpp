// Encoding and decoding of the client message. The same walk over the
// fields serves both directions, so the two cannot drift apart.
#include "clients/coil_client_msg.h"

#include <cstring>

#include "engine/coil_bytes.h"

namespace {

using Writer = coilBeWriter;
using Reader = coilBeReader;

template <typename IO, typename Msg>
void walk(IO& io, Msg& m) {
    auto& h = m.hdr;
    io.bytes(h.clientId, sizeof h.clientId);
    io.u32(h.vlanIfInstance);
    io.u8(h.clientType);
    io.bytes(h.reserved, sizeof h.reserved);
    io.u32(h.msgType);
    io.u32(h.vr);
    io.u32(h.seq);
    io.u32(h.statusFlag);
    auto& t = m.target;
    io.u32(t.vlanIfInstance);
    io.u32(t.numPorts);
    io.u32(t.ports.word0);
    for (auto& group : t.ports.group)
        for (auto& word : group) io.u32(word);
    io.u32(t.pollType);
    io.u32(t.count);
    io.u32(t.timeout);
    io.u32(t.action);
    io.u32(t.disablePort);
    io.u32(t.disablePortDuration);
    io.bytes(t.reserved1, sizeof t.reserved1);
    io.bytes(t.vlan, sizeof t.vlan);
    io.u8(t.noVpifs);
    io.u8(t.reserved2);
    io.u16(t.extTag);
    io.u16(t.inPif.slot);
    io.u16(t.inPif.port);
    io.u16(t.inLif.slot);
    io.u16(t.inLif.port);
    io.u32(t.txVlanId);
    io.u32(t.txPortId);
}

}  // namespace

void coilClientMsgEncode(const coilClientMsg* msg, uint8_t* out) {
    Writer w{out};
    walk(w, *msg);
}

void coilClientMsgDecode(const uint8_t* data, size_t length, coilClientMsg* msg) {
    uint8_t whole[COIL_CLIENT_MSG_SIZE] = {};
    std::memcpy(whole, data, length < sizeof whole ? length : sizeof whole);
    Reader r{whole};
    walk(r, *msg);
    msg->hdr.clientId[sizeof msg->hdr.clientId - 1] = '\0';
    msg->target.vlan[sizeof msg->target.vlan - 1] = '\0';
}
