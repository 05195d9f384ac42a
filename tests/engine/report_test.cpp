// What a report leaves: the trap, the port texts, and the message to a
// client daemon.
#include <gtest/gtest.h>

#include "clients/coil_server.h"
#include "engine/coil_bytes.h"
#include "mira/sim/switch.h"
#include "support/daemon_helpers.h"
#include "support/harness.h"

namespace {

using coiltest::Harness;
using coiltest::port;

// Texts of two ports in one line (the loop reports) each keep a buffer of their own.
TEST(PortText, SlotAndPortOnAChassisThePortAloneOnOneSlot) {
    {
        Harness h;
        EXPECT_STREQ(getPortStr(0x10001, 0x20003), "1:3") << "only the low 16 bits count";
        EXPECT_STREQ(getPortStr(1, 6), "3:1") << "a trunk member reads as its trunk";
        EXPECT_STREQ(getPortStr(9, 9), "");
    }
    Harness one("chassis mac 02:00:00:c0:11:02 slots 1 first 1 ports 8\nvlan blue instance 100 tag 100 ports 1:1\n");
    EXPECT_STREQ(getPortStr(1, 3), "3");
}

TEST(Trap, CarriesTheWholeThirtyOneCharacterNameButNotANoLoopResult) {
    const std::string name31 = "a-vlan-name-of-31-characters-xy";
    Harness h("chassis mac 02:00:00:c0:11:01 slots 2 first 1 ports 8\nvlan " + name31 +
              " instance 100 tag 100 ports 1:1-1:2\n");
    coiltest::giveLink({port(1, 1), port(1, 2)});
    ASSERT_EQ(h.configure(name31, {{"interval", "60"}, {"action", "4"}}).result, 1);
    coiltest::arrive(port(1, 2), coiltest::returningPdu(findCoilServiceNode("1", 100), port(1, 1)));
    EXPECT_EQ(h.logCount("brambleCoilVlanLoopDetected vlan \"" + name31 + "\" length 31"), 1);
    EXPECT_FALSE(h.logHas("COIL.Report")) << "action 4 writes no event-log report";

    ASSERT_EQ(h.unconfigure(name31).result, 1);
    h.clearLog();
    ASSERT_EQ(h.configure(name31, {{"interval", "1"}, {"retry", "1"}, {"action", "5"}}).result, 1);
    h.advance(3);
    EXPECT_TRUE(h.logHas("NO LOOP DETECTED"));
    EXPECT_FALSE(h.logHas("brambleCoilVlanLoopDetected"));
}

// A client daemon's loop goes to its peer as message type 2 with the
// recorded ports; the end of a one-shot run as type 1.
TEST(ClientReport, ALoopAsType2WithTheRecordedPortsTheEndOfARunAsType1) {
    Harness h;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> sent;
    mira::setSendSink([&](uint32_t peer, std::span<const uint8_t> bytes) {
        sent.emplace_back(peer, std::vector<uint8_t>(bytes.begin(), bytes.end()));
    });
    coiltest::giveLink({port(1, 1), port(1, 2)});
    coilServiceNode* sr = coiltest::startDaemonService("ospf", 100, 5);
    coiltest::arrive(port(1, 2), coiltest::returningPdu(sr, port(1, 1)));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].first, 7u);
    // Every field of the loop report as coil-client shows it: ClientDaemons.WatchReportsEachLoopOncePerInterval.
    ASSERT_GE(sent[0].second.size(), 1172u);
    EXPECT_EQ(coilGetBe32(sent[0].second.data() + 40), 2u) << "msgType 2: loop";
    EXPECT_EQ(coilGetBe32(sent[0].second.data() + 1156), port(1, 2)) << "inPif";
    EXPECT_EQ(sr->state, COIL_STATE_INIT) << "a client daemon's run stops at its first loop";
    EXPECT_STREQ(coilStatusText(sr), "") << "no status text for a client daemon";

    ASSERT_NE(coiltest::startDaemonService("bgp", 100, 2, {}, COIL_POLL_ONESHOT, 1), nullptr);
    sent.clear();
    h.advance(4);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(coilGetBe32(sent[0].second.data() + 40), 1u);
    mira::setSendSink(nullptr);
}

}  // namespace
