// Received frames with their receive record, on a primary watching two
// VLANs with services that report, disable ports and end on a loop.
//
// Input: a receive record header, then the frame from its destination
// address on.
//   byte 0      even: the frame enters the switch on the port of bytes 5-8
//               and the daemon reads it from its packet socket;
//               odd: the record is filled as a copied receive record would
//               be and verified and matched at once.
//   bytes 1-4   VLAN instance (big-endian; the record path only)
//   bytes 5-8   physical ingress port word
//   bytes 9-12  logical ingress port word (the record path only)
//   the rest    the frame
#include <cstring>

#include "engine/coil_bytes.h"
#include "fuzz_daemon.h"
#include "mira/sim/switch.h"

namespace {

using namespace coilfuzz;

constexpr size_t kHeader = 13;

void fromRecord(const uint8_t* data, size_t size) {
    coilRecvPdu_t rec;
    std::memset(rec.vlanName, 0xAA, sizeof rec.vlanName);  // unterminated: verification must name the VLAN
    rec.vlanIfInstance = coilGetBe32(data + 1);
    rec.rxInfo = 0;
    rec.inPif = {coilGetBe16(data + 5), coilGetBe16(data + 7)};
    rec.inLif = {coilGetBe16(data + 9), coilGetBe16(data + 11)};
    const size_t length = size - kHeader;
    const size_t kept = length < sizeof rec.frame ? length : sizeof rec.frame;
    std::memset(rec.frame, 0, sizeof rec.frame);
    std::memcpy(rec.frame, data + kHeader, kept);
    rec.rxLength = int32_t(length);
    recvPduCheckpoint(&rec);
    const uint8_t* value = nullptr;
    uint16_t valueLength = 0;
    if (coilVerifyTlv(&value, &valueLength) == 0) coilProcessPdu(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    startDaemon(DM_NODE_STATE_PRIMARY);
    if (size < kHeader) return 0;
    ensureFrameServices();
    if (data[0] & 1) {
        fromRecord(data, size);
    } else {
        mira::injectFrame(coilGetBe32(data + 5), data + kHeader, size - kHeader);
    }
    settle();
    // Ports disabled by a loop come back before the next input.
    if (coilPortControlGetFirst() != nullptr) advanceSeconds(3);
    return 0;
}
