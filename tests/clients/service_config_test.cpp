// Operator configuration: validation and its messages (those coilctl shows
// for an unknown VLAN, disabled operators and a second session are asserted
// through coilctl in tests/process), replays of stored configuration,
// removal, and what a removed service leaves behind.
#include <gtest/gtest.h>

#include <cstdio>

#include "clients/coil_service.h"
#include "support/harness.h"

namespace {

using coiltest::Harness;

class Config : public ::testing::Test {
  protected:
    Harness h;
};

TEST_F(Config, RefusalsNameTheirReasonAndMakeNothing) {
    const struct {
        const char* vlan;
        std::vector<mira::CmAttr> attrs;
        const char* message;
    } cases[] = {
        {"blue", {{"interval", "601"}}, "ERROR: valid interval range (1..600)!"},
        {"blue", {{"interval", "0"}}, "ERROR: valid interval range (1..600)!"},
        {"blue", {{"interval", "5"}, {"retry", "256"}}, "ERROR: valid count range (1..255)!"},
        {"blue", {{"interval", "5"}, {"ports", "1:1,2:1"}}, "Port 2:1 do not belong to blue!"},
        {"blue", {{"interval", "5"}, {"rowStatus", "notInService"}}, "INVALID ACTION 2!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        auto r = h.configure(c.vlan, c.attrs);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.message, c.message);
    }
    auto r = h.set("coilServiceNode", {{"clientIdentifier", "1"}, {"vlan", "blue"}, {"rowStatus", "createAndGo"}});
    EXPECT_EQ(r.result, 1) << "no vlanIfInstance: nothing to do";
    EXPECT_EQ(coilGlobal.coilClients, 0u);
    EXPECT_EQ(coilFirstService(), nullptr);

}

TEST_F(Config, AcceptedServicesAtTheLimitsAndASecondOneForTheSameKey) {
    EXPECT_EQ(h.configure("blue", {{"interval", "600"}, {"retry", "255"}, {"ports", "1:1-1:3"}}).result, 1);
    coilServiceNode* sr = findCoilServiceNode("1", 100);
    ASSERT_NE(sr, nullptr);
    EXPECT_EQ(sr->target.timeout, 600u);
    EXPECT_EQ(sr->target.count, 255u);
    EXPECT_EQ(sr->target.numPorts, 3u);
    EXPECT_EQ(sr->target.pollType, uint32_t(COIL_POLL_ONESHOT));
    EXPECT_EQ(sr->target.extTag, 100);
    EXPECT_EQ(sr->hdr.clientType, COIL_CLIENT_OPERATOR);
    EXPECT_EQ(sr->serviceStats.statusFlag, 1u);
    ASSERT_EQ(h.configure("red", {{"interval", "5"}, {"ports", ""}}).result, 1);
    EXPECT_EQ(findCoilServiceNode("1", 200)->target.numPorts, 0u) << "an empty list means every port";

    // Its refusal text: Tools.ExitStatusesAndRefusals (tests/process).
    EXPECT_EQ(h.configure("blue", {{"interval", "7"}, {"rowStatus", "active"}}).result, 0);
    EXPECT_EQ(sr->target.timeout, 600u) << "the existing service is not modified";
    ASSERT_EQ(h.configure("blue", {{"interval", "5"}}, "2").result, 1);
    auto r = h.configure("blue", {{"interval", "5"}}, "2");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.message, "") << "client 2 fails silently";
}

TEST_F(Config, ReplayOfStoredConfiguration) {
    ASSERT_EQ(h.set("coilGlobalCfg", {{"enable", "false"}, {"rowStatus", "active"}}).result, 1);
    auto replay = [&](const char* client, std::vector<mira::CmAttr> extra) {
        std::vector<mira::CmAttr> a{{"clientIdentifier", client}, {"vlanIfInstance", "0"}, {"vlan", "blue"}};
        a.insert(a.end(), extra.begin(), extra.end());
        return h.set("coilServiceNode", a, CM_FLAG_IMPLIED_ROW_STATUS).result;
    };
    EXPECT_EQ(replay("7", {{"interval", "5"}}), 1);
    EXPECT_EQ(findCoilServiceNode("7", 100), nullptr) << "a client daemon's service is not restored";
    EXPECT_EQ(replay("1", {{"interval", "5"}, {"pollType", "1"}, {"retry", "3"}}), 1);
    EXPECT_EQ(findCoilServiceNode("1", 100), nullptr) << "a counted poll is not re-run";

    EXPECT_EQ(replay("1", {{"interval", "5"}, {"pollType", "2"}, {"retry", "0"}}), 1);
    coilServiceNode* sr = findCoilServiceNode("1", 100);
    ASSERT_NE(sr, nullptr) << "restored even while operators are disabled";
    EXPECT_EQ(sr->target.pollType, uint32_t(COIL_POLL_PERIODIC));
    h.advance(3);
    EXPECT_EQ(sr->serviceStats.pollCount, 0u) << "operators disabled: its polls send nothing";
}

TEST_F(Config, RemovalOfAnAbsentServiceFailsOnlyOnThePrimary) {
    auto r = h.unconfigure("blue");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.message, "No COIL Service configured for vlan \"blue\" !");
    dmConfig.node_state = DM_NODE_STATE_BACKUP;
    EXPECT_EQ(h.unconfigure("blue").result, 1);
    dmConfig.node_state = DM_NODE_STATE_PRIMARY;

}

// A client daemon has at most 4094 services: removing one makes room for
// one more, not for another 4094.
TEST_F(Config, AClientDaemonHasAtMost4094ServicesAndRemovingOneMakesRoomForOne) {
    auto registerService = [](int i) {
        coilServiceNode request{};
        std::snprintf(request.hdr.clientId, sizeof request.hdr.clientId, "c%d", i);
        request.hdr.vlanIfInstance = 100;
        request.peerId = 7;
        createCoilServiceNode(&request);
        return findCoilServiceNode(request.hdr.clientId, 100) != nullptr;
    };
    for (int i = 0; i < 4094; i++) ASSERT_TRUE(registerService(i)) << i;
    EXPECT_FALSE(registerService(4094));
    coilNodeCleanup(findCoilServiceNode("c0", 100));
    EXPECT_TRUE(registerService(4094));
    EXPECT_FALSE(registerService(4095));
}

}  // namespace
