// The loop-detection PDU: its bytes, the sequence number, the receive filter
// the daemon hands to the packet library, and what verification of a
// received frame accepts and refuses.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "engine/coil.h"
#include "engine/coil_bytes.h"
#include "mira/sim/switch.h"
#include "support/harness.h"

namespace {

using coiltest::Harness;

TEST(PduBuild, MatchesTheHandWrittenFrameAndCountsASharedWrappingSequence) {
    const uint8_t mac[6] = {0x02, 0x00, 0x00, 0xc0, 0x11, 0x01};
    std::memcpy(coilGlobal.gSystemMac, mac, 6);
    std::memcpy(coilGlobal.gCoilDa, mac, 6);
    coilGlobal.gCoilDa[0] |= 1;
    coilTarget_t target{};
    target.vlanIfInstance = 5;
    target.extTag = 100;

    coilPduBuf_t pdu;
    std::memset(&pdu, 0xee, sizeof pdu);
    ASSERT_EQ(coilBuildPdu(&target, 0x01020304, &pdu), 0);
    const uint8_t expected[64] = {
        0x03, 0x00, 0x00, 0xc0, 0x11, 0x01,              // destination: own MAC, group bit
        0x02, 0x00, 0x00, 0xc0, 0x11, 0x01,              // source
        0x81, 0x00, 0xe0, 0x64,                          // 802.1Q, priority 7, VLAN 100
        0x00, 0x2c,                                      // 802.3 length 44
        0xaa, 0xaa, 0x03, 0x0a, 0x5c, 0x33, 0x00, 0xbb,  // LLC, SNAP OUI 0a:5c:33, PID 0x00bb
        0x01, 0x00, 0x00, 0x28, 0x4b, 0xea,              // header: kind 1, length 40, checksum
        0x02, 0x00, 0x00, 0xc0, 0x11, 0x01,              //   sender's MAC
        0x00, 0x00, 0x00, 0x00,                          //   sequence 0, reserved
        0x99, 0x0d, 0x00, 0x14, 0x02, 0x00, 0x00, 0x00,  // TLV: marker, type 13, length 20, value
        0x00, 0x00, 0x00, 0x05,                          //   VLAN instance
        0x00, 0x00, 0x00, 0x00,                          //   egress port, set per copy
        0x01, 0x02, 0x03, 0x04,                          //   service identifier
        0x00, 0x00,                                      // the rest of the frame space is cleared
    };
    EXPECT_EQ(pdu.length, 62u);
    EXPECT_EQ(0, std::memcmp(pdu.frame, expected, sizeof expected));

    // Consecutive frames of any service count on; the counter wraps.
    coilBuildPdu(&target, 2, &pdu);
    EXPECT_EQ(coilGetBe16(pdu.frame + 38), 1);
    coilGlobal.currSeqNum = 0xFFFFFFFFu;
    coilBuildPdu(&target, 1, &pdu);
    EXPECT_EQ(coilGetBe16(pdu.frame + 38), 0xFFFF);
    EXPECT_EQ(coilGlobal.currSeqNum, 0u);
}

TEST(PacketFilter, SpecificationBytesAreInNetworkOrder) {
    Harness h("chassis mac 02:00:00:c0:11:01 slots 1 first 1 ports 4\n"
              "vlan ten instance 10 tag 10 ports 1:1-1:2\n");
    ASSERT_EQ(h.configure("ten", {{"interval", "1"}}).result, 1);
    const std::vector<uint8_t> spec = mira::lastFilterSpec();
    ASSERT_EQ(spec.size(), 44u);
    // Bytes 4 to 43; 0 to 3 are the id the library wrote.
    const std::vector<uint8_t> expected{0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0,
                                        0x00, 0x0A, 0, 0, 6, 0x03, 0x00, 0x00, 0xc0, 0x11, 0x01, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(spec.begin() + 4, spec.end()), expected);
}

// Verification reads the receive record as the packet library left it.
class Verify : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(h.configure("blue", {{"interval", "5"}}).result, 1);
        sr = findCoilServiceNode("1", 100);
        // The ingress port needs link to count as up.
        ASSERT_TRUE(mira::cablePorts(coiltest::port(1, 2), coiltest::port(2, 8)));
        h.advance(1);
        mira::setConditionEnabled("trace", "*", true);
    }
    // The service's own frame, received on 1:2.
    void receiveOwn() {
        coilPduBuf_t pdu;
        coilBuildPdu(&sr->target, sr->serviceId, &pdu);
        coilRecvPdu = coilRecvPdu_t{};
        std::memcpy(coilRecvPdu.frame, pdu.frame, 64);
        coilRecvPdu.rxLength = 62;
        coilRecvPdu.vlanIfInstance = 100;
        coilRecvPdu.inPif = coilRecvPdu.inLif = {1, 2};
        h.clearLog();
    }
    int verify() { return coilVerifyTlv(&value, &valueLength); }
    uint8_t* f() { return coilRecvPdu.frame; }

    Harness h;
    coilServiceNode* sr = nullptr;
    const uint8_t* value = nullptr;
    uint16_t valueLength = 0;
};

TEST_F(Verify, AcceptsItsOwnFrameAndRefusesEachFault) {
    receiveOwn();
    ASSERT_EQ(verify(), 0);
    EXPECT_EQ(value, f() + 46);
    EXPECT_EQ(valueLength, 16);
    EXPECT_STREQ(coilRecvPdu.vlanName, "blue");

    const struct {
        std::function<void(uint8_t*)> fault;
        const char* log;  // "" for a silent refusal
    } cases[] = {
        {[](uint8_t* f) { f[42] = 0x98; }, "Wrong marker 152 pkt from 1:2:100"},
        {[](uint8_t* f) { f[43] = 14; }, "unknown TLV 14"},
        {[](uint8_t* f) { coilPutBe16(f + 28, 44); }, "May contain more than one TLV 20/44 pkt from 1:2:100"},
        {[](uint8_t* f) { coilPutBe16(f + 28, 36); }, "TLV is truncated in the packet 20/36 pkt from 1:2:100"},
        // 10 - 20 wraps to a huge expected length.
        {[](uint8_t* f) { coilPutBe16(f + 28, 10); }, "May contain more than one TLV 20/10 pkt from 1:2:100"},
        {[](uint8_t* f) { coilPutBe32(f + 58, 0xdeadbeef); }, "[1] Could not locate service node for ID 3735928559"},
        {[](uint8_t*) { coilRecvPdu.vlanIfInstance = 999; }, ""},  // no such VLAN
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.log);
        receiveOwn();
        c.fault(f());
        EXPECT_EQ(verify(), 2);
        if (*c.log) EXPECT_TRUE(h.logHas(c.log));
        else EXPECT_FALSE(h.logHas("pkt from"));
    }

    receiveOwn();
    ASSERT_TRUE(mira::setPortBlocked("blue", coiltest::port(1, 2), true));
    EXPECT_EQ(verify(), 2) << "an operator service ignores a frame that entered a blocked port";
    sr->hdr.clientType = COIL_CLIENT_DAEMON;
    EXPECT_EQ(verify(), 0) << "a client daemon's service does not test the ingress port";
}

TEST_F(Verify, AShortFrameNeverReadsAPreviousFramesBytes) {
    receiveOwn();
    uint8_t frame[64];
    std::memcpy(frame, f(), sizeof frame);
    coilPutBe32(frame + 58, 0x0a0b0c0d);  // a full frame of an unknown service
    mira::injectFrame(coiltest::port(1, 2), frame, 62);
    h.advance(1);
    ASSERT_TRUE(h.logHas("[1] Could not locate service node for ID 168496141"));

    mira::injectFrame(coiltest::port(1, 2), frame, 56);  // cut before the identifier
    h.advance(1);
    EXPECT_TRUE(h.logHas("[1] Could not locate service node for ID 0"));

    h.clearLog();
    EXPECT_EQ(rxCoilPdu(coilGlobal.gCoilRxTxFd, nullptr, 0, 0, 0), -1) << "nothing queued";
    EXPECT_FALSE(h.logHas("Could not locate")) << "the last frame is not taken again";
}

}  // namespace
