// The timing of runs in virtual time: one-shot runs end one interval after
// their last PDU, finished operator runs are removed at once or three
// seconds later, periodic runs poll every interval.
#include <gtest/gtest.h>

#include "support/daemon_helpers.h"
#include "support/harness.h"

namespace {

using coiltest::Harness;
using coiltest::port;

// Times (whole seconds since the configuration) at which PDUs left 1:1.
std::vector<int64_t> sendTimes(const Harness& h, int64_t start) {
    std::vector<int64_t> out;
    for (const auto& f : h.framesOut(port(1, 1))) out.push_back((f.usec - start) / 1'000'000);
    return out;
}

class Timing : public ::testing::Test {
  protected:
    void SetUp() override {
        coiltest::giveLink({port(1, 1)});
        h.clearFrames();
        h.clearLog();
        start = mira::monoUsec();
    }
    Harness h;
    int64_t start = 0;
};

TEST_F(Timing, OneShotRunReportsNoLoopOneIntervalAfterItsLastPdu) {
    mira::setConditionEnabled("COIL", "DebugSummary", true);
    ASSERT_EQ(h.configure("blue", {{"interval", "2"}, {"retry", "3"}, {"action", "2"}, {"disablePort", "1"}}).result,
              1);
    h.advance(7);
    EXPECT_EQ(sendTimes(h, start), (std::vector<int64_t>{0, 2, 4}));
    EXPECT_FALSE(h.logHas("NO LOOP DETECTED"));
    h.advance(1);  // (N + 1) T = 8
    EXPECT_EQ(h.logCount("[CLI:blue:1] NO LOOP DETECTED : 3 transmited, 0 received, ingress slot:port (nil) "
                         "egress slot:port (nil)"),
              1);
    // The result goes to the port lookup, which finds no port 0:0, and cuts nothing.
    EXPECT_EQ(h.logCount("Unable to find pif for port:  lif:0:0  pif:0:0"), 1);
    EXPECT_EQ(findCoilServiceNode("1", 100), nullptr) << "action 2 keeps no text: removed at once";
}

TEST_F(Timing, AFinishedRunWithATextStaysThreeSeconds) {
    ASSERT_EQ(h.configure("blue", {{"interval", "5"}, {"retry", "1"}, {"action", "1"}}).result, 1);
    h.advance(10);
    coilServiceNode* sr = findCoilServiceNode("1", 100);
    ASSERT_NE(sr, nullptr);
    EXPECT_EQ(sr->state, COIL_STATE_INIT);
    h.advance(2);
    EXPECT_NE(findCoilServiceNode("1", 100), nullptr);
    h.advance(1);
    EXPECT_EQ(findCoilServiceNode("1", 100), nullptr);
}

TEST_F(Timing, PeriodicRunPollsEveryIntervalUntilRemoved) {
    ASSERT_EQ(h.configure("blue", {{"interval", "3"}}).result, 1);
    h.advance(10);
    EXPECT_EQ(sendTimes(h, start), (std::vector<int64_t>{0, 3, 6, 9}));
    EXPECT_EQ(findCoilServiceNode("1", 100)->state, COIL_STATE_LOOP_DETECTION);
    ASSERT_EQ(h.unconfigure("blue").result, 1);
    h.clearFrames();
    h.advance(10);
    EXPECT_TRUE(h.framesOut().empty());
}

TEST_F(Timing, APollThatCannotSendDoesNotCountAndTheRunTakesOneTickLonger) {
    ASSERT_EQ(h.configure("blue", {{"interval", "2"}, {"retry", "2"}, {"action", "2"}}).result, 1);
    h.advance(1);
    coilGlobal.coilEnable = 0;  // the poll at 2 cannot send
    h.advance(2);
    coilGlobal.coilEnable = 1;
    EXPECT_EQ(findCoilServiceNode("1", 100)->serviceStats.pollCount, 1u);
    h.advance(4);  // polls at 4 (counted) and 6 (closes); without the lost poll the run would have ended at 6
    EXPECT_FALSE(h.logHas("NO LOOP DETECTED"));
    h.advance(1);
    EXPECT_TRUE(h.logHas("NO LOOP DETECTED : 2 transmited"));
    EXPECT_EQ(sendTimes(h, start), (std::vector<int64_t>{0, 4}));
}

TEST_F(Timing, EnteringLoopDetectionTwiceChangesNothing) {
    ASSERT_EQ(h.configure("blue", {{"interval", "4"}}).result, 1);
    coilServiceNode* sr = findCoilServiceNode("1", 100);
    const auto pollTimer = sr->pollTimer;
    sr->curState(sr, EV_START);
    EXPECT_EQ(sr->pollTimer, pollTimer);
    EXPECT_EQ(h.framesOut(port(1, 1)).size(), 1u);
}

}  // namespace
