// Loops found and cut, end to end on the simulated switch: the report, the
// disabled port, its hold timer, the guard window, trunks.
#include <gtest/gtest.h>

#include "engine/coil_bytes.h"
#include "mira/sim/switch.h"
#include "support/daemon_helpers.h"
#include "support/harness.h"

namespace {

using coiltest::Harness;
using coiltest::port;

class Loop : public ::testing::Test {
  protected:
    Harness h;
};

TEST_F(Loop, ACabledLoopIsReportedCutReleasedAndCutAgainUntilUncabled) {
    ASSERT_TRUE(mira::cablePorts(port(1, 1), port(1, 2)));
    h.advance(1);
    ASSERT_EQ(h.configure("blue", {{"interval", "2"},
                                   {"action", "3"},
                                   {"disablePort", "1"},
                                   {"disablePortDuration", "5"}})
                  .result,
              1);
    h.advance(1);
    // The copy out of 1:1 came back on 1:2 first and cut it; the copy out of
    // 1:2 then found 1:1 without link and was dropped.
    EXPECT_EQ(h.logCount("[CLI:blue:1] LOOP DETECTED : 1 transmited, 1 received, ingress slot:port (1:2) egress "
                         "slot:port (1:1)"),
              1);
    EXPECT_EQ(h.logCount("COIL.DsblPortLoopDtect: Disabling port 1:2. Auto re-enable port after 5 seconds"), 1);
    EXPECT_FALSE(mira::portEnabled(port(1, 2)));
    EXPECT_TRUE(mira::portEnabled(port(1, 1)));
    coilServiceNode* sr = findCoilServiceNode("1", 100);
    EXPECT_EQ(sr->serviceStats.rxpkts, 1u);
    EXPECT_EQ(sr->state, COIL_STATE_LOOP_DETECTION) << "a periodic run keeps polling";
    EXPECT_NE(std::string(coilStatusText(sr)).find("# LOOP DETECTED # --- vlan \"blue\""),
              std::string::npos);
    ASSERT_NE(coilPortControlGet(port(1, 2)), nullptr);

    h.clearLog();
    h.advance(5);  // the hold timer enables 1:2; the VLAN manager's report drops its record
    EXPECT_EQ(h.logCount("COIL.EnblPortTimerExp: Enabling port 1:2. 5 second duration timer has expired."), 1);
    // The next poll finds the loop again and cuts a port again.
    EXPECT_GE(h.logCount("Disabling port"), 1);
    h.advance(2);

    ASSERT_TRUE(mira::uncablePort(port(1, 1)));
    h.advance(6);  // every hold timer has expired by now
    h.clearLog();
    h.advance(10);
    EXPECT_TRUE(mira::portEnabled(port(1, 1)));
    EXPECT_TRUE(mira::portEnabled(port(1, 2)));
    EXPECT_FALSE(h.logHas("Disabling port"));
    EXPECT_EQ(coilPortControlGetFirst(), nullptr);
}

// A service whose PDUs the test brings back by hand, on ports with link.
class Returns : public ::testing::Test {
  protected:
    void SetUp() override {
        coiltest::giveLink({port(1, 1), port(1, 2), port(1, 6)});
        mira::setConditionEnabled("COIL", "DebugSummary", true);
    }
    coilServiceNode* configure(std::vector<mira::CmAttr> attrs) {
        auto r = h.configure("blue", attrs);
        EXPECT_EQ(r.result, 1) << r.message;
        return findCoilServiceNode("1", 100);
    }
    Harness h;
};

// A second return within the guard window (2 s) after a cut, through a
// port of the same VLAN, cuts nothing more: the first cut most likely broke
// the loop. Later, or with no VLAN in common, it cuts its port too.
TEST_F(Returns, ASecondReturnInsideTheGuardWindowCutsNothingMore) {
    const struct {
        int64_t afterUsec;
        bool secondCut;
    } cases[] = {{900'000, false}, {3'000'000, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.afterUsec);
        coilServiceNode* sr = configure({{"interval", "60"}, {"disablePort", "1"}, {"disablePortDuration", "100"}});
        coiltest::arrive(port(1, 2), coiltest::returningPdu(sr, port(1, 1)));
        h.advanceUsec(c.afterUsec);
        coiltest::arrive(port(1, 1), coiltest::returningPdu(sr, port(1, 2)));
        EXPECT_FALSE(mira::portEnabled(port(1, 2)));
        EXPECT_EQ(mira::portEnabled(port(1, 1)), !c.secondCut);
        EXPECT_EQ(h.logHas("Target found...SKIP!"), !c.secondCut);
        ASSERT_EQ(h.unconfigure("blue").result, 1);  // enables both again
        h.advance(1);
        h.clearLog();
    }
}

// A return on a trunk member cuts the whole trunk, even when a recent record
// of another member (as a checkpoint can leave) names the same trunk.
TEST_F(Returns, AReturnOnATrunkMemberCutsTheWholeTrunk) {
    coilServiceNode* sr =
        configure({{"interval", "60"}, {"action", "2"}, {"disablePort", "1"}, {"disablePortDuration", "0"}});
    sr->target.inPif = {1, 7};
    sr->target.inLif = {3, 1};
    coilPortControlCreate(sr);
    coiltest::arrive(port(1, 6), coiltest::returningPdu(sr, port(1, 1)));
    EXPECT_TRUE(h.logHas("Matching LIF!"));
    // A member's text is its trunk's: the library resolves members to the trunk.
    EXPECT_EQ(h.logCount("Disabling port 3:1. Permanent"), 3);
    for (uint32_t member : {5u, 6u, 7u}) {
        EXPECT_FALSE(mira::portEnabled(port(1, member))) << member;
        ASSERT_NE(coilPortControlGet(port(1, member)), nullptr) << member;
        EXPECT_EQ(coilPortControlGet(port(1, member))->tPtr, 0u) << "permanent: no hold timer";
    }
    EXPECT_EQ(sr->target.inLif.slot, 3);
    EXPECT_EQ(sr->target.inLif.port, 1);
    EXPECT_TRUE(h.logHas("LOOP DETECTED : 1 transmited, 1 received, ingress slot:port (3:1)"));

    h.clearLog();
    coiltest::arrive(port(1, 5), coiltest::returningPdu(sr, port(1, 1)));
    EXPECT_FALSE(h.logHas("Disabling port")) << "a cut member takes no frames in";
}

// The lookup of a port's record (through an index beside the list) finds
// the newest of the port's records, and an older one once the newest goes.
TEST_F(Returns, APortsNewestRecordIsFoundUntilItGoes) {
    coilServiceNode* sr = configure({{"interval", "60"}});
    sr->target.inPif = {1, 7};
    coilPortControl* older = coilPortControlCreate(sr);
    coilPortControl* newer = coilPortControlCreate(sr);
    EXPECT_EQ(coilPortControlGet(port(1, 7)), newer);
    coilPortControlDestroy(newer);
    EXPECT_EQ(coilPortControlGet(port(1, 7)), older);
    coilPortControlDestroy(older);
    EXPECT_EQ(coilPortControlGet(port(1, 7)), nullptr);
}

TEST_F(Returns, AProbeBackOnAnotherVlanCountsNothing) {
    // A service on red attaches red's filter, so frames tagged for red reach the CPU.
    ASSERT_EQ(h.configure("red", {{"interval", "60"}}).result, 1);
    coilServiceNode* sr = configure({{"interval", "60"}, {"disablePort", "1"}});
    mira::setConditionEnabled("trace", "*", true);
    auto frame = coiltest::returningPdu(sr, port(1, 2));
    coilPutBe16(frame.data() + 14, 0xE000 | 200);  // the copy came back tagged for red
    coiltest::arrive(port(1, 1), frame);
    EXPECT_TRUE(h.logHas("InVlan red does not match to configured vlan blue for serviceId"));
    EXPECT_EQ(sr->serviceStats.rxpkts, 0u);
    EXPECT_EQ(coilGlobal.numPktsRcvd, 0u);
    EXPECT_EQ(sr->target.inPif.port, 1) << "the ingress is recorded all the same";
    EXPECT_TRUE(mira::portEnabled(port(1, 1)));

    // Such a run's no-loop result never cuts the recorded port.
    ASSERT_EQ(h.unconfigure("blue").result, 1);
    sr = configure({{"interval", "1"}, {"retry", "1"}, {"action", "2"}, {"disablePort", "1"}});
    frame = coiltest::returningPdu(sr, port(1, 2));
    coilPutBe16(frame.data() + 14, 0xE000 | 200);
    coiltest::arrive(port(1, 1), frame);
    EXPECT_EQ(sr->target.inPif.port, 1);
    h.advance(3);
    EXPECT_TRUE(h.logHas("NO LOOP DETECTED"));
    EXPECT_TRUE(mira::portEnabled(port(1, 1)));
}

TEST_F(Returns, AOneShotRunWithoutTextIsGoneOnceItsLoopIsHandled) {
    coilServiceNode* sr = configure({{"interval", "5"}, {"retry", "3"}, {"action", "2"}});
    coiltest::arrive(port(1, 2), coiltest::returningPdu(sr, port(1, 1)));
    EXPECT_EQ(findCoilServiceNode("1", 100), nullptr);
    EXPECT_TRUE(h.logHas("[CLI:blue:1] LOOP DETECTED : 1 transmited, 1 received"));
    h.advance(20);  // no timer of the removed service fires
}

TEST_F(Returns, TheLoopReportIsLoggedAtMostOnceInThreeSeconds) {
    coilServiceNode* sr = configure({{"interval", "60"}, {"action", "2"}});
    const auto frame = coiltest::returningPdu(sr, port(1, 1));
    coiltest::arrive(port(1, 2), frame);
    h.advanceUsec(2'500'000);
    coiltest::arrive(port(1, 2), frame);
    EXPECT_EQ(h.logCount("LOOP DETECTED"), 1);
    h.advanceUsec(500'000);
    coiltest::arrive(port(1, 2), frame);
    EXPECT_EQ(h.logCount("LOOP DETECTED"), 2);
    EXPECT_TRUE(h.logHas("LOOP DETECTED : 1 transmited, 3 received")) << "counters are not cleared between reports";
}

}  // namespace
