// One poll's copies: which ports they leave by, what they carry, and when
// nothing is sent.
#include <gtest/gtest.h>

#include "clients/coil_service.h"
#include "engine/coil_bytes.h"
#include "mira/sim/switch.h"
#include "support/daemon_helpers.h"
#include "support/harness.h"

namespace {

using coiltest::egressPorts;
using coiltest::Harness;
using coiltest::port;
using V = std::vector<uint32_t>;

class Transmit : public ::testing::Test {
  protected:
    void SetUp() override {
        // 1:4 stays without link; the trunk 3:1 (1:5-1:7) has link on 1:5.
        coiltest::giveLink({port(1, 1), port(1, 2), port(1, 3), port(1, 5)});
        h.clearFrames();
    }
    Harness h;
};

TEST_F(Transmit, AnOperatorPollLeavesEveryForwardingPortOnceEachNamingItsPort) {
    ASSERT_EQ(h.configure("blue", {{"interval", "5"}}).result, 1);
    const auto frames = h.framesOut();
    EXPECT_EQ(egressPorts(frames), (V{port(1, 1), port(1, 2), port(1, 3), port(1, 5)}))
        << "1:4 has no link; the trunk's copy leaves by its active member and names it";
    for (const auto& f : frames) {
        EXPECT_EQ(f.port, coilGetBe32(f.bytes.data() + 54)) << "the copy names the port it left by";
        EXPECT_TRUE(coiltest::checksumMatchesFullComputation(f.bytes));
    }
    coilServiceNode* sr = findCoilServiceNode("1", 100);
    EXPECT_EQ(sr->serviceStats.txpkts, 4u);
    EXPECT_EQ(sr->serviceStats.pollCount, 1u);
    EXPECT_EQ(coilGlobal.numPktsSent, 4u);
}

TEST_F(Transmit, BlockedAndUnlistedPortsAreSkippedExceptInAClientDaemonsVlanWalk) {
    ASSERT_TRUE(mira::setPortBlocked("blue", port(1, 2), true));
    ASSERT_EQ(h.configure("blue", {{"interval", "5"}}).result, 1);
    EXPECT_EQ(egressPorts(h.framesOut()), (V{port(1, 1), port(1, 3), port(1, 5)}));

    h.clearFrames();
    ASSERT_NE(coiltest::startDaemonService("ospf", 100, 5), nullptr);
    EXPECT_EQ(egressPorts(h.framesOut()), (V{port(1, 1), port(1, 2), port(1, 3), port(1, 4), port(1, 5)}))
        << "a client daemon's VLAN walk sends on blocked and link-down ports";

    // A port list sends only on listed members of the VLAN, and skips blocked ports for everyone.
    h.clearFrames();
    mira::setConditionEnabled("trace", "*", true);
    ASSERT_NE(coiltest::startDaemonService("isis", 100, 5, {port(1, 2), port(2, 1), port(1, 3)}), nullptr);
    EXPECT_EQ(egressPorts(h.framesOut()), (V{port(1, 3)}));
    EXPECT_EQ(h.logCount("coilSendPdu Not sending vlan. vpif == NULL"), 1) << "2:1 is not in blue";
}

TEST_F(Transmit, ATrunkWithoutActiveMemberSendsNothing) {
    mira::setConditionEnabled("trace", "*", true);
    ASSERT_TRUE(mira::setPortEnabled(port(3, 1), false));
    h.advance(1);
    h.clearFrames();
    ASSERT_NE(coiltest::startDaemonService("ospf", 100, 5), nullptr);
    EXPECT_EQ(egressPorts(h.framesOut()), (V{port(1, 1), port(1, 2), port(1, 3), port(1, 4)}));
    EXPECT_TRUE(h.logHas("DEBUG: coilSendPdu() No activePif found for vlan:blue"));
}

TEST_F(Transmit, NothingLeavesForAnOperatorWhileDisabledNorForAnyoneOnABackup) {
    ASSERT_EQ(h.configure("blue", {{"interval", "2"}}).result, 1);
    coilServiceNode* sr = findCoilServiceNode("1", 100);
    ASSERT_EQ(sr->state, COIL_STATE_LOOP_DETECTION);
    ASSERT_EQ(h.set("coilGlobalCfg", {{"enable", "false"}, {"rowStatus", "active"}}).result, 1);
    EXPECT_EQ(sr->state, COIL_STATE_INIT) << "disabling stops the services";
    coilPduBuf_t pdu;
    coilBuildPdu(&sr->target, sr->serviceId, &pdu);
    h.clearFrames();
    EXPECT_EQ(coilSendPdu(sr, &pdu), 1);
    EXPECT_TRUE(h.framesOut().empty());

    coilServiceNode* daemon = coiltest::startDaemonService("ospf", 100, 5);
    EXPECT_FALSE(h.framesOut().empty()) << "a client daemon's service still sends";
    EXPECT_EQ(coilSendPdu(daemon, &pdu), 0);

    h.clearFrames();
    dmConfig.node_state = DM_NODE_STATE_BACKUP;
    EXPECT_EQ(coilSendPdu(daemon, &pdu), 0);
    h.advance(1);
    EXPECT_TRUE(h.framesOut().empty());
    dmConfig.node_state = DM_NODE_STATE_PRIMARY;

    ASSERT_EQ(h.set("coilGlobalCfg", {{"enable", "true"}, {"rowStatus", "active"}}).result, 1);
    EXPECT_EQ(sr->state, COIL_STATE_LOOP_DETECTION) << "enabling starts them again";
}

}  // namespace
