// Client daemons' message streams as the message server receives them, on
// a primary whose VLANs loop (so started services report back to their
// peers and disable ports).
//
// Input: operations, each one byte and its operands:
//   op % 4 == 0  a received packet: 2 bytes big-endian byte count (at most
//                4095, cut to what the input still holds) and the bytes.
//                The receive handler's length argument is the byte count,
//                or with bit 0x80 of op set, 2 more bytes (signed
//                big-endian; 0 and below are the library's event codes,
//                which come with no packet). With bit 0x40 set the packet
//                is missing.
//   op % 4 == 1  a peer event: opcode byte, data length byte (below 16)
//                and the data; with bit 0x80 of op set the data is missing.
//   op % 4 == 2  time passes: one byte, seconds modulo 8 (30 at most per
//                input).
//   op % 4 == 3  the next operations come from peer 1 + (byte modulo 4).
// Every service of peers 1 to 4 is removed after the input.
#include <cstring>
#include <vector>

#include "engine/coil_bytes.h"
#include "fuzz_daemon.h"
#include "mira/sim/switch.h"

namespace {

using namespace coilfuzz;

constexpr uint32_t kPeers = 4;

struct Input {
    const uint8_t* p;
    size_t left;
    bool take(size_t n, const uint8_t** out) {
        if (left < n) return false;
        *out = p;
        p += n, left -= n;
        return true;
    }
    bool byte(uint8_t* out) {
        const uint8_t* b = nullptr;
        if (!take(1, &b)) return false;
        *out = *b;
        return true;
    }
    bool be16(uint16_t* out) {
        const uint8_t* b = nullptr;
        if (!take(2, &b)) return false;
        *out = coilGetBe16(b);
        return true;
    }
};

void cableLoops() {
    mira::cablePorts(port(1, 3), port(1, 4));  // blue loops
    mira::cablePorts(port(2, 1), port(2, 2));  // red loops
    settle();
}

void receivePacket(Input& in, uint8_t op, uint32_t peer) {
    uint16_t count = 0;
    if (!in.be16(&count)) return;
    count &= 0x0fff;
    if (count > in.left) count = uint16_t(in.left);
    const uint8_t* bytes = nullptr;
    in.take(count, &bytes);
    int length = count;
    if (op & 0x80) {
        uint16_t given = 0;
        if (!in.be16(&given)) return;
        length = int16_t(given);
    }
    bmPacket_t* packet = nullptr;
    if (length > 0 && !(op & 0x40)) {
        packet = bmAllocPacket(count, 32, 1);
        if (count > 0) std::memcpy(packet->data, bytes, count);
        packet->length = count;
    }
    coilServerReceive(nullptr, peer, packet, length);
}

void peerEvent(Input& in, uint8_t op) {
    uint8_t opcode = 0, length = 0;
    if (!in.byte(&opcode) || !in.byte(&length)) return;
    length &= 0x0f;
    const uint8_t* bytes = nullptr;
    if (!in.take(length, &bytes)) return;
    std::vector<uint8_t> data(bytes, bytes + length);  // a block of exactly its size
    coilServerIPMLCallback(nullptr, opcode, (op & 0x80) ? nullptr : data.data(), length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool cabled = false;
    startDaemon(DM_NODE_STATE_PRIMARY);
    if (!cabled) cableLoops(), cabled = true;

    Input in{data, size};
    uint32_t peer = 1;
    int secondsLeft = 30;
    uint8_t op = 0;
    while (in.byte(&op)) {
        uint8_t b = 0;
        switch (op % 4) {
            case 0: receivePacket(in, op, peer); break;
            case 1: peerEvent(in, op); break;
            case 2:
                if (!in.byte(&b)) break;
                if (int s = b % 8; s <= secondsLeft) advanceSeconds(s), secondsLeft -= s;
                break;
            default:
                if (in.byte(&b)) peer = 1 + b % kPeers;
                break;
        }
        settle();
    }
    for (uint32_t p = 1; p <= kPeers; p++) coilServerDeletePeer(p);
    settle();
    return 0;
}
