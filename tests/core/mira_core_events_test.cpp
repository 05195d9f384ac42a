// Platform events reach the daemon's handlers through the loop, never inside
// the call that caused them: distribution manager, library groups, the
// dispatcher's files and servers, the directory service, autostart.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dm.h"
#include "ipml.h"
#include "lm.h"
#include "mira/core/loop.h"
#include "mira/core/platform.h"

namespace {

std::vector<std::string> seen;
std::vector<std::pair<int, lmGroupHandle_t>> groupReports;

int dmHandler(uint32_t event, void* param2) {
    std::string s = std::to_string(event);
    if (event == DM_EVENT_PROCESS_STATE) {
        auto* rec = static_cast<const dmProcessEvent_t*>(param2);
        s += std::string(":") + (static_cast<const char*>(param2) + 8) + "=" + std::to_string(rec->state);
    } else if (event >= DM_EVENT_PRIMARY && event <= DM_EVENT_STANDBY) {
        s += ":node" + std::to_string(dmGetNodeState()) + (dmAmIPrimary() ? "P" : "") + (dmAmIBackup() ? "B" : "") +
             (dmAmIStandby() ? "S" : "");
    } else if (event == DM_EVENT_CHECKPOINT_ON || event == DM_EVENT_CHECKPOINT_OFF) {
        s += ":cp" + std::to_string(dmIsCheckpointingON()) + "/" + std::to_string(dmGetProcessFlags(0));
    } else if (param2) {
        s += ":" + std::string(static_cast<const char*>(param2));
    }
    seen.push_back(s);
    return 0;
}

class MiraCoreEvents : public ::testing::Test {
protected:
    void SetUp() override {
        seen.clear();
        groupReports.clear();
        mira::logDiscard();
    }
};

TEST_F(MiraCoreEvents, DistributionManagerEventsArriveThroughTheLoop) {
    ASSERT_EQ(dmInit(0, dmHandler), 0);
    ASSERT_EQ(dmRegisterCheckpointHandler([](void*, uint32_t kind, void* message, uint32_t length) {
                  seen.push_back("cp" + std::to_string(kind) + ":" + std::string(static_cast<const char*>(message), length));
                  return 0;
              }),
              0);
    EXPECT_EQ(dmGetNodeState(), uint32_t(DM_NODE_STATE_PRIMARY));
    mira::setProcessState("vlan", 6);
    EXPECT_EQ(dmGetProcessState("vlan"), 6);  // the state itself is current at once
    EXPECT_EQ(dmGetProcessState("nobody"), 0);
    mira::setNodeRole(DM_NODE_STATE_BACKUP);
    mira::setNodeRole(DM_NODE_STATE_STANDBY);
    mira::setCheckpointing(true);
    mira::setCheckpointing(false);
    mira::raiseDmEvent(DM_EVENT_CLEAR_COUNTERS);
    mira::raiseDmEvent(0x999, {'h', 'i', 0});
    mira::deliverCheckpoint(1, {'a', 0, 'b'});
    EXPECT_TRUE(seen.empty());
    // Each role event sees the manager already in that role, even when
    // several changes were queued.
    EXPECT_EQ(dmGetNodeState(), uint32_t(DM_NODE_STATE_PRIMARY));
    mira::drain();
    EXPECT_EQ(seen, (std::vector<std::string>{"64:vlan=6", "514:node5B", "515:node4S", "528:cp1/2", "529:cp0/0",
                                              "68", "2457:hi", std::string("cp1:a\0b", 7)}));
}

void groupCallback(void* context, int code, lmGroupHandle_t group) {
    EXPECT_EQ(context, &groupReports);
    groupReports.emplace_back(code, group);
    seen.push_back("group" + std::to_string(group));
}

// Libraries loaded before the watch are reported too, later and once. (A
// group with a library missing reports nothing: Startup.VlanReadyBeforeGroupTwo...)
TEST_F(MiraCoreEvents, LibraryGroupAlreadyLoadedIsReportedOnceThroughTheLoop) {
    char names[2][LM_NAME_SIZE] = {"cliSubagent", "cmBackend"};
    mira::loadLibrary("cliSubagent");
    mira::loadLibrary("cmBackend");
    lmGroupHandle_t g = lmWatchGroup(names, 2, 3, groupCallback, &groupReports, 0);
    EXPECT_TRUE(groupReports.empty());
    mira::drain();
    mira::loadLibrary("cmBackend");
    mira::drain();
    EXPECT_EQ(groupReports, (std::vector<std::pair<int, lmGroupHandle_t>>{{LM_GROUP_READY, g}}));
}

TEST_F(MiraCoreEvents, AutostartBringsUpPeersAndLibrariesInOrder) {
    ASSERT_EQ(dmInit(0, dmHandler), 0);
    char group1[3][LM_NAME_SIZE] = {"dslib", "dmlib", "emslib"};
    char group3[1][LM_NAME_SIZE] = {"vlanLib"};
    lmGroupHandle_t g1 = lmWatchGroup(group1, 3, 3, groupCallback, &groupReports, 0);
    lmGroupHandle_t g3 = lmWatchGroup(group3, 1, 3, groupCallback, &groupReports, 0);
    mira::startAutostart();
    mira::drain();
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(groupReports.empty());
    mira::advance(100'000);
    std::string first = "group" + std::to_string(g1), third = "group" + std::to_string(g3);
    EXPECT_EQ(seen, (std::vector<std::string>{first, "64:cfgmgr=6", "64:cli=6", "64:vlan=6", third, "64:fdb=6",
                                              "64:snmpSubagent=6"}));
    EXPECT_EQ(groupReports, (std::vector<std::pair<int, lmGroupHandle_t>>{{LM_GROUP_READY, g1}, {LM_GROUP_READY, g3}}));
    for (const char* name : {"cfgmgr", "cli", "vlan", "fdb", "snmpSubagent"}) EXPECT_GE(dmGetProcessState(name), 6);
}

}  // namespace
