// The saved configuration: replayed as stored configuration (implied row
// status) record by record, a failed write, and the load event that follows
// at start-up. (Saving, and a damaged file: tests/process/fault_saved_config_test.)
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "engine/coil.h"
#include "frame/coil_main.h"
#include "mira/core/saved_config.h"
#include "mira/sim/topology.h"
#include "support/harness.h"
#include "support/temp_dir.h"

namespace {

using coiltest::Harness;
using coiltest::TempDir;

void writeText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

const char* const kStored =
    "# saved\n"
    "coilGlobalCfg enable=true disablePortWaitTime=4\n"
    "\n"
    "coilServiceNode clientIdentifier=1 vlanIfInstance=100 vlan=blue interval=2 retry=0 pollType=2 action=3 "
    "disablePort=1 disablePortDuration=30 ports=1:1-1:3\n"
    "coilServiceNode clientIdentifier=1 vlanIfInstance=200 vlan=red interval=2 retry=3 pollType=1 action=3\n"
    "coilServiceNode clientIdentifier=7 vlanIfInstance=100 vlan=blue interval=2 retry=0 pollType=2\n";

TEST(SavedConfigReplay, BadRecordsAreSkippedNamingFileAndLine) {
    Harness h(coiltest::kTwoSlotChassis, false);
    TempDir dir("coil-saved");
    const std::string good =
        "coilGlobalCfg enable=true\n"
        "coilServiceNode clientIdentifier=1 vlanIfInstance=100 vlan=blue interval=2 retry=0\n"
        "# a comment\n";
    const struct {
        const char* line;
        const char* error;
    } damage[] = {
        {"coilServiceNode clientIdentifier=1 vlanIfInstance=300 vlan=gone interval=2 retry=0",
         "Invalid Vlan gone specified!"},  // refused by the daemon
        {"coilServiceNode clientIdentifier=1 vlan=red interval=soon", "Invalid value \"soon\" for attribute interval."},
        {"coilServiceNode clientIdentifier=1 colour=red", "Unknown attribute colour of object coilServiceNode."},
        {"coilServiceStatus vlan=red", "unknown object \"coilServiceStatus\""},
        {"coilServiceNode vlan", "\"vlan\" is not attribute=value"},
        {"coilServiceNode vlan=re%d", "malformed %-escape in the value of vlan"},
        {"coilGlobalCfg enable=maybe", "Invalid value \"maybe\" for attribute enable."},
    };
    for (const auto& d : damage) {
        SCOPED_TRACE(d.line);
        writeText(dir.file("coil.conf"), good + d.line + "\n");
        auto out = mira::replaySavedConfig(dir.file("coil.conf"));
        EXPECT_FALSE(out.refused);
        EXPECT_EQ(out.problems, std::vector<std::string>{dir.file("coil.conf") + ":4: " + d.error});
        EXPECT_EQ(out.applied, 2);
        EXPECT_EQ(coilGlobal.coilEnable, 1u);
        ASSERT_NE(findCoilServiceNode("1", 100), nullptr);
        h.unconfigure("blue");
    }
}

TEST(SavedConfigFile, AFailedWriteLeavesNothingBehindAndAMissingFileIsNoError) {
    TempDir dir("coil-saved");
    const mira::ReplayOutcome none = mira::replaySavedConfig(dir.file("coil.conf"));
    EXPECT_FALSE(none.found || none.refused || none.applied) << none.error;
    std::string error;
    EXPECT_FALSE(mira::writeFileAtomically(dir.file("missing/coil.conf"), "x\n", &error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path));
}

// Start-up as coild does it: the replay waits for the backend client, then
// the load event. A counted run or a client daemon's service is not made
// again. (A damaged file at start-up: SavedConfigAcrossRestarts; a fresh
// start's load event: Pair, whose checkpoint link waits for it.)
TEST(SavedConfigStartUp, SavedOperatorSettingsRunAfterTheLoadButNoCountedRunsOrClientDaemons) {
    TempDir dir("coil-saved");
    std::vector<std::string> log;
    writeText(dir.file("coil.conf"), kStored);
    std::string error;
    ASSERT_TRUE(mira::loadTopology(coiltest::kTwoSlotChassis, "test.topo", &error)) << error;
    mira::captureLog(&log);
    mira::startAutostart();
    mira::loadConfigWhenReady(dir.file("coil.conf"));
    coil_main();
    mira::advanceSeconds(1);
    mira::captureLog(nullptr);
    EXPECT_EQ(mira::ownProcessState(), 9);
    EXPECT_TRUE(std::any_of(log.begin(), log.end(),
                            [](const std::string& l) { return l.find("4 of 4 records applied") != l.npos; }));
    EXPECT_EQ(coilGlobal.coilEnable, 1u);
    EXPECT_EQ(coilGlobal.disablePortWaitTime, 4);
    coilServiceNode* blue = findCoilServiceNode("1", 100);
    ASSERT_NE(blue, nullptr);
    EXPECT_EQ(blue->state, COIL_STATE_LOOP_DETECTION);
    EXPECT_EQ(blue->target.timeout, 2u);
    EXPECT_EQ(blue->target.pollType, 2u);
    EXPECT_EQ(blue->target.disablePortDuration, 30u);
    EXPECT_EQ(blue->target.numPorts, 3u);
    EXPECT_EQ(findCoilServiceNode("1", 200), nullptr) << "a counted poll is not run again";
    EXPECT_EQ(findCoilServiceNode("7", 100), nullptr) << "a client daemon registers its own services";
}

}  // namespace
