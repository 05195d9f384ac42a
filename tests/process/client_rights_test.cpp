// Client daemons as processes against a running coild: which services one
// may touch, and how fast one may make the daemon probe.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/coild_process.h"

namespace {

using coiltest::CoildProcess;
using coiltest::Outcome;

const char* const kLoopChassis =
    "chassis mac 02:00:00:c0:11:01 slots 2 first 1 ports 8\n"
    "vlan blue instance 100 tag 100 ports 1:1-1:4\n"
    "vlan red instance 200 tag 200 ports 1:5-1:6\n"
    "cable 1:1 1:2\n";

Outcome coilClient(const CoildProcess& coild, std::vector<std::string> args, const std::string& tag = "client") {
    args.insert(args.begin(), {coiltest::buildProgram("coil-client"), "--run-dir", coild.runDir, "--wait", "5"});
    const std::string out = coild.base + "/" + tag + ".out", err = coild.base + "/" + tag + ".err";
    Outcome o;
    o.status = coiltest::waitExit(coiltest::spawnProgram(args, out, err), 20'000);
    o.out = coiltest::readFile(out);
    o.err = coiltest::readFile(err);
    return o;
}

// The operator's view of one service: its XML, "" when there is none.
std::string serviceXml(const CoildProcess& coild, const std::string& client, const std::string& instance,
                       const std::string& vlan) {
    mira::control::Message get, reply;
    get.add("method", "get").add("object", "coilServiceNode").add("flag", "exact");
    for (const std::string& a : {"clientIdentifier=" + client, "vlanIfInstance=" + instance, "vlan=" + vlan})
        get.add("attr", a);
    std::string error;
    EXPECT_TRUE(coild.request(1, get, &reply, &error)) << error;
    return reply.get("output");
}

long probesSent(const CoildProcess& coild) {
    mira::control::Message get, reply;
    get.add("method", "get").add("object", "coilGlobalCfg").add("flag", "exact");
    std::string error;
    EXPECT_TRUE(coild.request(1, get, &reply, &error)) << error;
    const std::string xml = reply.get("output");
    const size_t at = xml.find("<txpkts>");
    return at == std::string::npos ? -1 : std::atol(xml.c_str() + at + 8);
}

TEST(ClientRights, AClientDaemonTouchesOnlyWhatItsConnectionRegistered) {
    CoildProcess coild;
    ASSERT_TRUE(coild.start(kLoopChassis, {"--trace"})) << coild.errors();
    // The operator's identifiers are not a client daemon's to take first...
    EXPECT_EQ(coilClient(coild, {"register", "1", "200"}).status, 0);
    EXPECT_EQ(coild.ctl({"enable"}).status, 0);
    const Outcome configured = coild.ctl({"configure", "red", "interval", "600"});
    EXPECT_EQ(configured.status, 0) << configured.err;
    // ...nor to restart or remove.
    EXPECT_EQ(coilClient(coild, {"start", "1", "200", "--count", "1", "--interval", "1"}).status, 0);
    // coil-client sees the service stay and says so.
    EXPECT_EQ(coilClient(coild, {"deregister", "1", "200"}).status, 1);

    // Another connection's service: neither restarted nor removed.
    const pid_t watcher = coiltest::spawnProgram(
        {coiltest::buildProgram("coil-client"), "--run-dir", coild.runDir, "watch", "--register", "ospf", "100",
         "--ports", "1:3", "--timeout", "20"},
        coild.base + "/watcher.out", coild.base + "/watcher.err");
    ASSERT_TRUE(coiltest::within(5, [&] { return coild.log().find("Start Poll 2 [ospf:100]") != std::string::npos; }));
    EXPECT_EQ(coilClient(coild, {"start", "ospf", "100", "--ports", "1:1"}).status, 0);
    EXPECT_EQ(coilClient(coild, {"deregister", "ospf", "100"}).status, 1);

    for (const char* refused : {"Refused 1 [1:200]", "Refused 2 [1:200]", "Refused 4 [1:200]", "Refused 2 [ospf:100]",
                                "Refused 4 [ospf:100]"})
        EXPECT_TRUE(coiltest::within(5, [&] { return coild.log().find(refused) != std::string::npos; })) << refused;
    const std::string red = serviceXml(coild, "1", "200", "red");
    EXPECT_NE(red.find("<interval>600</interval>"), std::string::npos) << red;
    EXPECT_NE(serviceXml(coild, "ospf", "100", "blue").find("<ports>1:3</ports>"), std::string::npos);
    ::kill(watcher, SIGTERM);
    EXPECT_EQ(coiltest::waitExit(watcher, 5000), 0);
    EXPECT_EQ(coild.terminate(), 0);
}

// On a loop that stays, a watcher that restarts after each report, and a
// client that sends Start Poll as fast as it can, each make the daemon
// probe once per interval.
TEST(ClientRights, StartPollProbesAtMostOncePerInterval) {
    CoildProcess coild;
    ASSERT_TRUE(coild.start(kLoopChassis)) << coild.errors();
    const Outcome watched = coilClient(
        coild, {"watch", "--register", "ospf", "100", "--ports", "1:1", "--interval", "1", "--restart", "--timeout", "3"});
    EXPECT_EQ(watched.status, 0) << watched.err;
    const long reports = std::count(watched.out.begin(), watched.out.end(), '\n');
    EXPECT_GE(reports, 2);
    EXPECT_LE(reports, 4) << "restarts are a second apart";

    const long before = probesSent(coild);
    const int fd = CoildProcess::connectTo(coild.messageSocket());
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> burst = coiltest::streamFrame(coiltest::clientMessage("isis", 100, 1));
    for (int i = 0; i < 300; i++) {
        const std::vector<uint8_t> start = coiltest::streamFrame(coiltest::clientMessage("isis", 100, 2, 1, 1, 1));
        burst.insert(burst.end(), start.begin(), start.end());
    }
    ASSERT_TRUE(coiltest::sendAll(fd, burst.data(), burst.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const long probes = probesSent(coild) - before;
    ::close(fd);
    // Four ports, a poll at once and one a second later (a third at most).
    EXPECT_GT(probes, 0);
    EXPECT_LE(probes, 12);
    EXPECT_EQ(coild.terminate(), 0);
    std::printf("[ figures  ] watch --restart: %ld reports in 3 s; 300 Start Polls at once: %ld probes in 2.5 s\n",
                reports, probes);
}

}  // namespace
