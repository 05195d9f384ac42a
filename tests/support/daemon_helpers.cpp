#include "support/daemon_helpers.h"

#include <gtest/gtest.h>

#include "clients/coil_service.h"
#include "engine/coil_bytes.h"
#include "mira/sim/switch.h"
#include "nup.h"

namespace coiltest {

void giveLink(std::initializer_list<uint32_t> ports) {
    uint32_t spare = 3;
    for (uint32_t p : ports) {
        while (mira::cablePeer(port(2, spare)) != 0) spare++;
        std::string error;
        if (!mira::cablePorts(p, port(2, spare), &error)) ADD_FAILURE() << error;
    }
    mira::drain();
}

coilServiceNode* registerDaemonService(const char* clientId, uint32_t vlanIfInstance) {
    coilServiceNode request{};
    coilCopyText(request.hdr.clientId, sizeof request.hdr.clientId, clientId);
    request.hdr.vlanIfInstance = vlanIfInstance;
    request.peerId = 7;
    request.target.vlanIfInstance = vlanIfInstance;
    if (createCoilServiceNode(&request) != 0) ADD_FAILURE() << "no service " << clientId;
    return findCoilServiceNode(clientId, vlanIfInstance);
}

coilServiceNode* startDaemonService(const char* clientId, uint32_t vlanIfInstance, uint32_t interval,
                                    std::initializer_list<uint32_t> ports, uint32_t pollType, uint32_t count) {
    coilServiceNode* sr = registerDaemonService(clientId, vlanIfInstance);
    if (sr == nullptr) return nullptr;
    sr->target.pollType = pollType;
    sr->target.count = count;
    sr->target.timeout = interval;
    for (uint32_t p : ports) mira::portListAdd(&sr->target.ports, p);
    sr->target.numPorts = uint32_t(ports.size());
    sr->curState(sr, EV_CLIENT_START_POLL);
    return sr;
}

std::vector<uint8_t> returningPdu(const coilServiceNode* sr, uint32_t egress) {
    coilPduBuf_t pdu;
    coilBuildPdu(&sr->target, sr->serviceId, &pdu);
    const uint16_t built = coilGetBe16(pdu.frame + 30);
    coilPutBe32(pdu.frame + 54, egress);
    coilPutBe16(pdu.frame + 30, nupChecksumIncremental(built, 0, egress));
    return std::vector<uint8_t>(pdu.frame, pdu.frame + pdu.length);
}

void arrive(uint32_t port, const std::vector<uint8_t>& frame) {
    mira::injectFrame(port, frame.data(), frame.size());
    mira::drain();
}

std::vector<uint32_t> egressPorts(const std::vector<Frame>& frames) {
    std::vector<uint32_t> out;
    for (const Frame& f : frames)
        if (f.bytes.size() >= 62) out.push_back(coilGetBe32(f.bytes.data() + 54));
    return out;
}

bool checksumMatchesFullComputation(const std::vector<uint8_t>& frame) {
    if (frame.size() < 62) return false;
    uint32_t sum = 0;
    for (size_t i = 26; i < 62; i += 2) {
        if (i == 30) continue;  // the checksum field counts as zero
        sum += uint32_t(frame[i] << 8 | frame[i + 1]);
    }
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return uint16_t(~sum) == coilGetBe16(frame.data() + 30);
}

}  // namespace coiltest
