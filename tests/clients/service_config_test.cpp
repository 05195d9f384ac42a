// Operator configuration: validation and its messages, replays of stored
// configuration, removal, and what a removed service leaves behind.
#include <gtest/gtest.h>

#include "clients/coil_service.h"
#include "mira/sim/switch.h"
#include "support/daemon_helpers.h"
#include "support/harness.h"

namespace {

using coiltest::Harness;
using coiltest::port;

class Config : public ::testing::Test {
  protected:
    Harness h;
};

TEST_F(Config, IntervalAndRetryLimits) {
    auto r = h.configure("blue", {{"interval", "601"}});
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.message, "ERROR: valid interval range (1..600)!");
    r = h.configure("blue", {{"interval", "0"}});
    EXPECT_EQ(r.message, "ERROR: valid interval range (1..600)!");
    r = h.configure("blue", {{"interval", "5"}, {"retry", "256"}});
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.message, "ERROR: valid count range (1..255)!");
    EXPECT_EQ(findCoilServiceNode("1", 100), nullptr);

    EXPECT_EQ(h.configure("blue", {{"interval", "600"}, {"retry", "255"}}).result, 1);
    coilServiceNode* sr = findCoilServiceNode("1", 100);
    ASSERT_NE(sr, nullptr);
    EXPECT_EQ(sr->target.timeout, 600u);
    EXPECT_EQ(sr->target.count, 255u);
    EXPECT_EQ(sr->target.pollType, uint32_t(COIL_POLL_ONESHOT));
    EXPECT_EQ(sr->target.extTag, 100);
    EXPECT_EQ(sr->hdr.clientType, COIL_CLIENT_OPERATOR);
    EXPECT_EQ(sr->serviceStats.statusFlag, 1u);
}

TEST_F(Config, PortListsMustNameMembersOfTheVlan) {
    auto r = h.configure("blue", {{"interval", "5"}, {"ports", "1:1,2:1"}});
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.message, "Port 2:1 do not belong to blue!");
    EXPECT_EQ(coilGlobal.coilClients, 0u);

    ASSERT_EQ(h.configure("blue", {{"interval", "5"}, {"ports", "1:1-1:3"}}).result, 1);
    EXPECT_EQ(findCoilServiceNode("1", 100)->target.numPorts, 3u);
    ASSERT_EQ(h.configure("red", {{"interval", "5"}, {"ports", ""}}).result, 1);
    EXPECT_EQ(findCoilServiceNode("1", 200)->target.numPorts, 0u) << "an empty list means every port";
}

TEST_F(Config, ASecondConfigurationOfTheSameClientAndVlanFails) {
    ASSERT_EQ(h.configure("blue", {{"interval", "5"}}).result, 1);
    auto r = h.configure("blue", {{"interval", "7"}, {"rowStatus", "active"}});
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.message, "ERROR: An active session already exists for \"CLI:blue\" !\n");
    EXPECT_EQ(findCoilServiceNode("1", 100)->target.timeout, 5u) << "the existing service is not modified";

    ASSERT_EQ(h.configure("blue", {{"interval", "5"}}, "2").result, 1);
    r = h.configure("blue", {{"interval", "5"}}, "2");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.message, "") << "client 2 fails silently";
}

TEST_F(Config, RefusedRequestsAndRequestsWithoutAKey) {
    auto r = h.configure("nosuch", {{"interval", "5"}});
    EXPECT_EQ(r.message, "Invalid Vlan nosuch specified!");
    r = h.set("coilServiceNode", {{"clientIdentifier", "1"}, {"vlan", "blue"}, {"rowStatus", "createAndGo"}});
    EXPECT_EQ(r.result, 1) << "no vlanIfInstance: nothing to do";
    EXPECT_EQ(coilGlobal.coilClients, 0u);
    r = h.set("coilServiceNode",
              {{"clientIdentifier", "1"}, {"vlanIfInstance", "0"}, {"vlan", "blue"}, {"rowStatus", "notInService"}});
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.message, "INVALID ACTION 2!");

    ASSERT_EQ(h.set("coilGlobalCfg", {{"enable", "false"}, {"rowStatus", "active"}}).result, 1);
    r = h.configure("blue", {{"interval", "5"}});
    EXPECT_EQ(r.message, "COIL Client is disabled. Operation failed!");
}

TEST_F(Config, ReplayOfStoredConfiguration) {
    ASSERT_EQ(h.set("coilGlobalCfg", {{"enable", "false"}, {"rowStatus", "active"}}).result, 1);
    const uint32_t replay = CM_FLAG_IMPLIED_ROW_STATUS;
    auto attrs = [](const char* client, const char* vlan) {
        return std::vector<mira::CmAttr>{{"clientIdentifier", client}, {"vlanIfInstance", "0"}, {"vlan", vlan}};
    };
    auto a = attrs("7", "blue");
    a.push_back({"interval", "5"});
    EXPECT_EQ(h.set("coilServiceNode", a, replay).result, 1);
    EXPECT_EQ(findCoilServiceNode("7", 100), nullptr) << "a client daemon's service is not restored";

    a = attrs("1", "blue");
    a.insert(a.end(), {{"interval", "5"}, {"pollType", "1"}, {"retry", "3"}});
    EXPECT_EQ(h.set("coilServiceNode", a, replay).result, 1);
    EXPECT_EQ(findCoilServiceNode("1", 100), nullptr) << "a counted poll is not re-run";

    a = attrs("1", "blue");
    a.insert(a.end(), {{"interval", "5"}, {"retry", "0"}});
    auto r = h.set("coilServiceNode", a, replay);
    EXPECT_EQ(r.result, 1) << r.message;
    coilServiceNode* sr = findCoilServiceNode("1", 100);
    ASSERT_NE(sr, nullptr) << "restored even while operators are disabled";
    EXPECT_EQ(sr->target.pollType, uint32_t(COIL_POLL_PERIODIC));
    h.advance(3);
    EXPECT_EQ(sr->serviceStats.pollCount, 0u) << "operators disabled: its polls send nothing";
}

TEST_F(Config, RemovalFailsOnThePrimaryForAnAbsentServiceButNotOnTheBackup) {
    auto r = h.unconfigure("blue");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.message, "No COIL Service configured for vlan \"blue\" !");
    dmConfig.node_state = DM_NODE_STATE_BACKUP;
    EXPECT_EQ(h.unconfigure("blue").result, 1);
    dmConfig.node_state = DM_NODE_STATE_PRIMARY;
}

TEST_F(Config, RemovingAServiceEnablesThePortsItDisabled) {
    // 1:1 and 1:2 cabled together loop blue.
    ASSERT_TRUE(mira::cablePorts(port(1, 1), port(1, 2)));
    h.advance(1);
    ASSERT_EQ(h.configure("blue", {{"interval", "1"}, {"disablePort", "1"}, {"disablePortDuration", "0"}}).result, 1);
    h.advance(1);
    ASSERT_NE(coilPortControlGetFirst(), nullptr);
    const uint32_t disabled = coilPortWord(coilPortControlGetFirst()->inPif);
    EXPECT_FALSE(mira::portEnabled(disabled));

    ASSERT_EQ(h.unconfigure("blue").result, 1);
    h.advance(1);
    EXPECT_TRUE(mira::portEnabled(disabled));
    EXPECT_EQ(coilPortControlGetFirst(), nullptr);
    EXPECT_EQ(coilGlobal.coilClients, 0u);
}

}  // namespace
