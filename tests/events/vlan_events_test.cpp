// Services and the port control list follow the VLAN manager's changes, each of
// its six notifications arriving through the loop after the call that made it.
#include <gtest/gtest.h>

#include <array>

#include "events/coil_vlan.h"
#include "mira/sim/switch.h"
#include "support/daemon_helpers.h"
#include "support/harness.h"

namespace {

using coiltest::Harness;
using coiltest::port;

const char* const kWide = R"(
chassis mac 02:00:00:c0:11:01 slots 2 first 1 ports 48
trunk 3:1 members 2:40-2:42
vlan blue instance 100 tag 100 ports 1:1-1:40,3:1
vlan red instance 200 tag 200 ports 1:1,1:2,2:1
)";

class VlanEvents : public ::testing::Test {
  protected:
    Harness h{kWide};
};

TEST_F(VlanEvents, DeletingAVlanRemovesEveryServiceOnItAndForgetsItsFilter) {
    ASSERT_EQ(h.configure("blue", {{"interval", "5"}}).result, 1);
    ASSERT_EQ(h.configure("blue", {{"interval", "5"}}, "2").result, 1);
    ASSERT_NE(coiltest::startDaemonService("ospf", 100, 5), nullptr);
    ASSERT_EQ(h.configure("red", {{"interval", "5"}}).result, 1);
    vlanIf_t* blue = nullptr;
    ASSERT_EQ(vlanLibGetVlanIfByName("blue", &blue), 1);
    EXPECT_NE(blue->clientWord, 0u);

    ASSERT_TRUE(mira::deleteVlan("blue"));
    EXPECT_NE(findCoilServiceNode("1", 100), nullptr) << "the change arrives through the loop, not inside the call";
    h.advance(1);
    EXPECT_EQ(findCoilServiceNode("1", 100), nullptr);
    EXPECT_EQ(findCoilServiceNode("2", 100), nullptr);
    EXPECT_EQ(findCoilServiceNode("ospf", 100), nullptr);
    EXPECT_NE(findCoilServiceNode("1", 200), nullptr);
    EXPECT_EQ(coilGlobal.coilClients, 1u);
    EXPECT_EQ(h.logCount("Node Cleanup"), 0) << "trace is off";
    EXPECT_EQ(coilHandleDelVlan("blue", 100), 1) << "a name the library no longer knows changes nothing";
}

TEST_F(VlanEvents, RenamingStoresTheFirst31Characters) {
    ASSERT_EQ(h.configure("blue", {{"interval", "5"}}).result, 1);
    const std::string name40(40, 'n');
    coilHandleVlanRename("blue", name40.c_str(), 100);
    EXPECT_EQ(std::string(findCoilServiceNode("1", 100)->target.vlan), name40.substr(0, 31));

    ASSERT_TRUE(mira::renameVlan("blue", "navy"));
    h.advance(1);
    EXPECT_STREQ(findCoilServiceNode("1", 100)->target.vlan, "navy");
}

TEST_F(VlanEvents, RetaggingMovesTheFilterAndTheLoopIsStillFound) {
    ASSERT_TRUE(mira::cablePorts(port(1, 1), port(1, 2)));
    ASSERT_EQ(h.configure("blue", {{"interval", "2"}, {"action", "2"}}).result, 1);
    h.advance(1);
    ASSERT_TRUE(h.logHas("LOOP DETECTED"));
    vlanIf_t* blue = nullptr;
    ASSERT_EQ(vlanLibGetVlanIfByName("blue", &blue), 1);
    const uint32_t oldFilter = blue->clientWord;

    ASSERT_TRUE(mira::retagVlan("blue", 150));
    h.advance(1);
    EXPECT_EQ(findCoilServiceNode("1", 100)->target.extTag, 150);
    EXPECT_NE(blue->clientWord, oldFilter) << "a new filter for the new tag";
    h.clearLog();
    h.advance(4);
    EXPECT_TRUE(h.logHas("LOOP DETECTED")) << "probes with the new tag still come back to the daemon";
}

TEST_F(VlanEvents, AddingAPortCountsItAndRemovingPort33ClearsItsBitAndDropsItsRecord) {
    coilServiceNode* sr = coiltest::startDaemonService("ospf", 100, 60, {port(1, 1), port(1, 33)});
    ASSERT_NE(sr, nullptr);
    const uint8_t vpifs = sr->target.noVpifs;
    ASSERT_GT(vpifs, 0);
    // A port control record of 1:33, from whatever service.
    sr->target.inPif = sr->target.inLif = {1, 33};
    coilPortControlCreate(sr);

    ASSERT_TRUE(mira::addVlanPort("blue", port(1, 41)));
    h.advance(1);
    EXPECT_EQ(sr->target.noVpifs, vpifs + 1) << "the count of ports goes to the client in its reports";
    ASSERT_TRUE(mira::removeVlanPort("blue", port(1, 33)));
    h.advance(1);
    EXPECT_EQ(sr->target.ports.group[0][1], 0u) << "port 33 is the top bit of slot 1's second word";
    EXPECT_EQ(sr->target.ports.group[0][0], 0x80000000u) << "1:1 stays";
    EXPECT_EQ(sr->target.noVpifs, vpifs);
    EXPECT_EQ(coilPortControlGet(port(1, 33)), nullptr);
}

TEST_F(VlanEvents, EnablingATrunkDropsTheRecordsOfAllItsMembers) {
    coilServiceNode* sr = coiltest::startDaemonService("ospf", 100, 60);
    ASSERT_TRUE(mira::setPortEnabled(port(3, 1), false));  // as the daemon would have cut it
    h.advance(1);
    for (uint16_t member : {40, 41, 42}) {
        sr->target.inPif = {2, member};
        sr->target.inLif = {3, 1};
        coilPortControlCreate(sr);
    }
    coilHandleCfgPortState(std::array<uint32_t, 1>{port(2, 41)}.data(), 0, 1);
    EXPECT_NE(coilPortControlGet(port(2, 41)), nullptr) << "a disable only logs";

    ASSERT_TRUE(mira::setPortEnabled(port(3, 1), true));
    h.advance(1);
    for (uint16_t member : {40, 41, 42}) EXPECT_EQ(coilPortControlGet(port(2, member)), nullptr) << member;
}

}  // namespace
