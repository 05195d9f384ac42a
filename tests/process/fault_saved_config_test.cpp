// A damaged saved configuration: the file coild wrote, cut at every byte
// offset, is applied whole or not at all (in-process, through the replay
// coild runs at start-up), and coild itself starts on a cut file without
// it. (A save replaces the file whole, never rewriting it in place:
// SavedConfigFile.SaveWritesTheConfigurationAtomicallyAndReplaysIt.)
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "mira/core/cmmgr.h"
#include "mira/core/saved_config.h"
#include "mira/sim/topology.h"
#include "support/coild_process.h"
#include "support/harness.h"

namespace {

// Everything the configuration holds, as the walks render it.
std::string snapshot() {
    return mira::cmWalk("coilGlobalCfg", {}).output + "\n" + mira::cmWalk("coilServiceNode", {}).output;
}

// The state every replay starts from: enabled, the default wait time, no
// service.
void restoreBaseline(coiltest::Harness& h) {
    for (const char* vlan : {"blue", "red"}) h.unconfigure(vlan);
    h.set("coilGlobalCfg", {{"enable", "true"}, {"disablePortWaitTime", "2"}, {"rowStatus", "active"}});
}

TEST(TruncatedSavedConfig, IsAppliedWholeOrNotAtAllAtEveryLength) {
    coiltest::Harness h;
    mira::logDiscard();
    coiltest::CoildProcess dir;  // only for its directory
    const std::string path = dir.base + "/coil.conf";
    // The file as coild writes it: the global settings and two services
    // whose values a cut could shorten into other valid values.
    ASSERT_EQ(h.set("coilGlobalCfg", {{"disablePortWaitTime", "15"}, {"rowStatus", "active"}}).result, 1);
    ASSERT_EQ(h.configure("blue", {{"interval", "120"}, {"ports", "1:1-1:3,1:4"}, {"disablePort", "1"},
                                   {"disablePortDuration", "300"}})
                  .result,
              1);
    ASSERT_EQ(h.configure("red", {{"interval", "10"}, {"action", "5"}}).result, 1);
    int records = 0;
    std::string error;
    ASSERT_TRUE(mira::saveConfig(path, &records, &error)) << error;
    const std::string text = coiltest::readFile(path);
    const std::string full = snapshot();
    restoreBaseline(h);
    const std::string baseline = snapshot();
    ASSERT_NE(full, baseline);

    // True when refused; whatever the outcome, nothing may be applied.
    auto replayDamaged = [&](const std::string& bytes, const std::string& what) {
        std::ofstream(path, std::ios::trunc | std::ios::binary) << bytes;
        const mira::ReplayOutcome out = mira::replaySavedConfig(path);
        EXPECT_TRUE(out.refused || out.applied == 0) << what;  // a cut in the first comment leaves no record
        EXPECT_EQ(snapshot(), baseline) << what;
        if (!out.refused) restoreBaseline(h);
        return out.refused;
    };
    // Every cut, and a single-bit flip in every byte (a different bit in
    // each), which the end line's checksum catches.
    int cutsRefused = 0, flipsRefused = 0;
    for (size_t at = 0; at < text.size(); at++) {
        cutsRefused += replayDamaged(text.substr(0, at), "cut at " + std::to_string(at));
        std::string flipped = text;
        flipped[at] = char(flipped[at] ^ (1 << (at % 8)));
        flipsRefused += replayDamaged(flipped, "bit " + std::to_string(at % 8) + " of byte " + std::to_string(at));
    }
    EXPECT_EQ(flipsRefused, int(text.size()));
    std::ofstream(path, std::ios::trunc | std::ios::binary) << std::string(text).replace(text.find("=15"), 3, "=16");
    EXPECT_NE(mira::replaySavedConfig(path).error.find("coil.conf: the end line says \""), std::string::npos);
    std::ofstream(path, std::ios::trunc | std::ios::binary) << text;
    EXPECT_TRUE(mira::replaySavedConfig(path).problems.empty());
    EXPECT_EQ(snapshot(), full);
    std::printf("[ figures  ] a %zu-byte file of %d records: %d of its cuts and %d of its single-bit flips refused, "
                "the rest without records\n",
                text.size(), records, cutsRefused, flipsRefused);
}

// What a save keeps across restarts: the operator's settings and continuous
// services, not a counted run nor a client daemon's service (it dies with its
// connection and registers again). A record the daemon refuses at the next
// start (its VLAN is gone) is logged with file and line and the rest applied;
// a cut file is refused whole and kept aside, and coild starts without it.
TEST(SavedConfigAcrossRestarts, KeepsWhatTheOperatorConfigured) {
    coiltest::CoildProcess coild;
    ASSERT_TRUE(coild.start()) << coild.errors();
    ASSERT_EQ(coild.ctl({"enable"}).status, 0);
    // blue without an interval: saved without one (the replay refuses interval=0).
    ASSERT_EQ(coild.ctl({"configure", "blue", "disable-port", "60", "ports", "1:1,2:1", "action", "log-trap"}).status,
              0);
    ASSERT_EQ(coild.ctl({"configure", "red", "interval", "20"}).status, 0);
    ASSERT_EQ(coild.ctl({"configure", "green", "count", "3", "interval", "60"}).status, 0);
    // A name that would end an XML text early breaks neither show nor save.
    ASSERT_EQ(coild.ctl({"set", "coilServiceNode", "clientIdentifier=cd]]>player", "vlanIfInstance=6", "vlan=red",
                         "interval=7", "rowStatus=createAndGo"})
                  .status,
              0);
    EXPECT_NE(coild.ctl({"show", "services"}).out.find("cd]]>player"), std::string::npos);
    // 5:1 is the chassis's trunk: a port list the operator's objects refuse.
    const coiltest::Reaper watcher{
        coild.launch("coil-client", {"--wait", "5", "watch", "--register", "ospf", "5", "--ports", "5:1"}, "watch")};
    ASSERT_TRUE(coiltest::within(5, [&] { return coild.ctl({"show", "services"}).out.find("ospf") != std::string::npos; }));
    const std::string path = coild.runDir + "/coil.conf";
    std::ofstream(path) << "old content\n";
    const int reader = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);  // holds the file the save replaces
    EXPECT_EQ(coild.ctl({"save"}).out, "configuration saved to " + path + " (3 records)\n");
    // Replaced by a rename, never rewritten in place; no temporary file left.
    EXPECT_EQ(coiltest::readFile("/proc/self/fd/" + std::to_string(reader)), "old content\n");
    ::close(reader);
    for (const auto& entry : std::filesystem::directory_iterator(coild.runDir))
        EXPECT_EQ(entry.path().filename().string().find("coil.conf.tmp"), std::string::npos);
    ASSERT_EQ(coild.terminate(), 0);
    // Counted runs, client daemons' services and counters are not configuration.
    const std::string text = coiltest::readFile(path);
    for (const char* absent : {"ospf", "green", "player", "interval=0", "txpkts"})
        EXPECT_EQ(text.find(absent), std::string::npos) << absent << "\n" << text;

    // The next chassis has no VLAN red.
    std::string topology(mira_example_topology, mira_example_topology_len);
    topology.erase(topology.find("vlan red"), topology.find("vlan green") - topology.find("vlan red"));
    ASSERT_TRUE(coild.start(topology)) << coild.errors();
    EXPECT_NE(coild.log().find("WARNING cfgmgr: " + path + ":5: Invalid Vlan red specified!"), std::string::npos)
        << coild.log();
    EXPECT_NE(coild.log().find("2 of 3 records applied"), std::string::npos);
    EXPECT_NE(coild.ctl({"show"}).out.find("loop detection         enabled"), std::string::npos);
    const std::string services = coild.ctl({"--json", "show", "services"}).out;
    for (const char* field :
         {"\"vlan\":\"blue\"", "\"ports\":\"1:1,2:1\"", "\"action\":5", "\"disablePortDuration\":60"})
        EXPECT_NE(services.find(field), std::string::npos) << field << "\n" << services;
    ASSERT_EQ(coild.terminate(), 0);

    // Cut to read "interval=2", beside a save killed midway.
    const std::string cut = text.substr(0, text.find("interval=20") + std::string("interval=2").size());
    std::ofstream(path, std::ios::trunc) << cut;
    std::ofstream(path + ".tmp.4242") << text.substr(0, 10);
    ASSERT_TRUE(coild.start()) << coild.errors();
    const std::string refused = "saved configuration refused, starting without it: " + path +
                                ": the file does not end with its \"end of saved configuration: ...\" line (cut "
                                "short?); kept as " + path + ".bad";
    EXPECT_EQ(coild.errors(), "coild: " + refused + "\n");
    EXPECT_NE(coild.log().find("ERROR cfgmgr: " + refused), std::string::npos) << coild.log();
    const std::string show = coild.ctl({"show"}).out;
    EXPECT_NE(show.find("loop detection         disabled"), std::string::npos) << show;
    EXPECT_NE(show.find("services               0"), std::string::npos) << show;
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp.4242"));
    // The refused file stays aside; the next save does not touch it.
    EXPECT_EQ(coiltest::readFile(path + ".bad"), cut);
    ASSERT_EQ(coild.ctl({"save"}).status, 0);
    EXPECT_EQ(coiltest::readFile(path + ".bad"), cut);
}

}  // namespace
