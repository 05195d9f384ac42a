// Client daemons as processes and sockets against a running coild:
// coil-client watch and its reports, which services a connection may touch,
// how fast one may make the daemon probe, clients that misbehave on the
// message server's socket, and the bounds on how many services they hold.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/coild_process.h"

namespace {

using coiltest::CoildProcess;
using coiltest::clientMessage;
using coiltest::countOf;
using coiltest::Outcome;
using coiltest::within;

constexpr uint32_t kRegister = 1, kStartPoll = 2;

class ClientDaemons : public testing::Test {
  protected:
    void start(std::vector<std::string> extra = {}) {
        ASSERT_TRUE(coild.start(coiltest::kLoopChassis, extra)) << coild.errors();
        ASSERT_TRUE(within(5, [&] { return !coild.messageSocket().empty(); }));
    }
    pid_t launchWatch(const std::string& tag, std::vector<std::string> args) {
        args.insert(args.begin(), {"--wait", "5", "watch"});
        return coild.launch("coil-client", args, tag);
    }
    long probesSent() { return coiltest::xmlNumber(coild.cm("get", "coilGlobalCfg").get("output"), "txpkts"); }
    bool listed(const std::string& client) {
        return coild.ctl({"--json", "show", "services"}).out.find("\"clientIdentifier\":\"" + client + "\"") !=
               std::string::npos;
    }
    int connect() { return CoildProcess::connectTo(coild.messageSocket()); }

    CoildProcess coild;
};

// A watcher that restarts after each report makes the daemon probe once per
// interval, and so does a client sending Start Poll as fast as it can.
TEST_F(ClientDaemons, WatchReportsEachLoopOncePerInterval) {
    start();
    const Outcome json = coild.client({"--wait", "5", "watch", "--json", "--register", "ospf", "100", "--ports", "1:1",
                                       "--reports", "1", "--timeout", "10"});
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.out,
              "{\"report\":\"loop\",\"msgType\":2,\"clientId\":\"ospf\",\"vlanIfInstance\":100,\"vlan\":\"blue\","
              "\"ingress\":\"1:2\",\"ingressLogical\":\"1:2\",\"egress\":\"1:1\",\"probeVlanInstance\":100,"
              "\"txPortId\":65537,\"pollType\":2,\"pollTypeName\":\"continuous\",\"count\":0,\"interval\":1,"
              "\"numPorts\":1,\"vr\":0,\"seq\":0,\"statusFlag\":0}\n");
    // The first watcher's service went with it: were it still there, this
    // Register would be ignored and the reports would go to the old peer.
    const Outcome text = coild.client({"--wait", "5", "watch", "--register", "ospf", "100", "--ports", "1:2",
                                       "--interval", "1", "--restart", "--timeout", "3"});
    EXPECT_EQ(text.status, 0) << text.err;
    const int reports = countOf(text.out, "\n");
    EXPECT_GE(reports, 2) << "--restart starts the run again after its loop";
    EXPECT_LE(reports, 4) << "restarts are a second apart";
    EXPECT_EQ(countOf(text.out, "loop client=ospf vlan=100 name=blue ingress=1:1 ingress-logical=1:1 egress=1:2 "
                                "probe-vlan=100\n"),
              reports);

    const long before = probesSent();
    const int fd = connect();
    std::vector<std::vector<uint8_t>> burst = {clientMessage("isis", 100, kRegister)};
    burst.resize(301, clientMessage("isis", 100, kStartPoll, 1, 1, 1));
    ASSERT_TRUE(coiltest::sendMessages(fd, burst));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const long probes = probesSent() - before;
    ::close(fd);
    // Four ports, a poll at once and one a second later (a third at most).
    EXPECT_GT(probes, 0);
    EXPECT_LE(probes, 12);
    std::printf("[ figures  ] watch --restart: %d reports in 3 s; 300 Start Polls at once: %ld probes in 2.5 s\n",
                reports, probes);
}

TEST_F(ClientDaemons, AConnectionTouchesOnlyWhatItRegisteredUnlessServicesAreShared) {
    start({"--trace"});
    // The operator's identifiers are not a client daemon's to take first,
    // nor to restart or remove (coil-client sees the service stay).
    EXPECT_EQ(coild.client({"register", "1", "200"}).status, 0);
    EXPECT_EQ(coild.ctl({"enable"}).status, 0);
    EXPECT_EQ(coild.ctl({"configure", "red", "interval", "600"}).status, 0);
    EXPECT_EQ(coild.client({"start", "1", "200", "--count", "1", "--interval", "1"}).status, 0);
    EXPECT_EQ(coild.client({"deregister", "1", "200"}).status, 1);
    // Another connection's service: neither restarted nor removed.
    pid_t watcher = launchWatch("watcher", {"--register", "ospf", "100", "--ports", "1:3", "--timeout", "20"});
    ASSERT_GT(watcher, 0);
    ASSERT_TRUE(coild.logShows("Start Poll 2 [ospf:100]"));
    EXPECT_EQ(coild.client({"start", "ospf", "100", "--ports", "1:1"}).status, 0);
    EXPECT_EQ(coild.client({"deregister", "ospf", "100"}).status, 1);
    for (const char* refused : {"Refused 1 [1:200]", "Refused 2 [1:200]", "Refused 4 [1:200]", "Refused 2 [ospf:100]",
                                "Refused 4 [ospf:100]"})
        EXPECT_TRUE(coild.logShows(refused)) << refused;
    const std::string services = coild.ctl({"--json", "show", "services"}).out;
    EXPECT_NE(services.find("\"clientIdentifier\":\"1\",\"disablePort\":0,\"interval\":600"), std::string::npos)
        << services;
    EXPECT_NE(services.find("\"ports\":\"1:3\""), std::string::npos) << services;
    ::kill(watcher, SIGTERM);
    EXPECT_EQ(coild.finish(watcher, "watcher").status, 0);
    EXPECT_EQ(coild.terminate(), 0);
    std::filesystem::remove(coild.logPath);

    // Shared: another invocation starts the watcher's silent service on a
    // port with link, and the loop is reported to the watcher.
    start({"--trace", "--clients-share-services"});
    watcher = launchWatch("watcher", {"--register", "ospf", "100", "--ports", "1:3", "--reports", "1", "--timeout", "10"});
    ASSERT_TRUE(coild.logShows("Start Poll 2 [ospf:100]"));
    EXPECT_EQ(coild.client({"start", "ospf", "100", "--ports", "1:1"}).status, 0);
    const Outcome watched = coild.finish(watcher, "watcher");
    EXPECT_EQ(watched.status, 0) << watched.err;
    EXPECT_EQ(watched.out.rfind("loop client=ospf vlan=100 name=blue ingress=1:2", 0), 0u) << watched.out;
    // The service went with the watcher.
    EXPECT_EQ(coild.client({"stop", "ospf", "100"}).status, 1);
}

// One that sends an unknown opcode and dies in the middle of a message, one
// that sends a byte and stalls, one that announces an oversized frame, and a
// thousand connections opened and closed: a watcher and a steady service of
// another connection go on as if nothing happened.
TEST_F(ClientDaemons, NoFaultOfOneClientCostsAnotherItsServiceOrItsReports) {
    start({"--trace"});
    const coiltest::Reaper watcher{launchWatch(
        "watch", {"--register", "good", "100", "--ports", "1:1", "--interval", "1", "--restart", "--timeout", "60"})};
    auto loops = [&] { return countOf(coild.output("watch"), "loop client=good"); };
    const int steady = connect();
    ASSERT_TRUE(coiltest::sendMessages(steady, {clientMessage("steady", 200, kRegister),
                                                clientMessage("steady", 200, kStartPoll)}));
    ASSERT_TRUE(within(10, [&] { return loops() >= 2; })) << coiltest::readFile(coild.base + "/watch.err");
    ASSERT_TRUE(within(5, [&] { return listed("steady"); }));

    const int dying = connect();
    ASSERT_TRUE(coiltest::sendMessages(dying, {clientMessage("victim", 200, kRegister),
                                               clientMessage("victim", 200, 0xee)}));  // an unknown opcode
    ASSERT_TRUE(within(5, [&] { return listed("victim"); }));
    const auto half = coiltest::streamFrame(clientMessage("victim", 200, kStartPoll));
    ASSERT_TRUE(coiltest::sendAll(dying, half.data(), 600));
    ::close(dying);
    const int stalled = connect();
    ASSERT_TRUE(coiltest::sendAll(stalled, "\0", 1));
    const int oversized = connect();  // 16 MiB announced: let go before any of it is read
    ASSERT_TRUE(coiltest::sendAll(oversized, "\x01\x00\x00\x00", 4));
    EXPECT_TRUE(within(5, [&] { return coiltest::peerClosed(oversized); }));
    ::close(oversized);

    const long rssBefore = coild.rssKiB();
    const auto begin = std::chrono::steady_clock::now();
    int refused = 0;  // by a listen backlog full for a moment
    for (int i = 0; i < 1000; i++) {
        const int fd = connect();
        if (fd < 0) refused++;
        ::close(fd);
    }
    EXPECT_LT(refused, 1000);
    // Each came and went as a peer, and so did the dying and the oversized one.
    const int peers = 1000 - refused + 2;
    EXPECT_TRUE(within(20, [&] { return countOf(coild.log(), "Peer dead") >= peers; }));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

    const int loopsBefore = loops();
    EXPECT_TRUE(within(10, [&] { return loops() >= loopsBefore + 2; })) << "the watcher's reports stopped";
    EXPECT_TRUE(within(5, [&] { return !listed("victim"); })) << "a dead peer's service stays";
    EXPECT_TRUE(listed("steady"));
    EXPECT_TRUE(listed("good"));
    const long rssAfter = coild.rssKiB();
    if (!coiltest::kSanitizerBuild) {
        EXPECT_LT(rssAfter - rssBefore, 4096) << "kB grown over a thousand connections";
    }
    EXPECT_NE(coild.log().find("sent a frame of 16777216 bytes"), std::string::npos);
    EXPECT_NE(coild.log().find("Illegal opcode 238 [victim:200]"), std::string::npos);
    for (int fd : {stalled, steady}) ::close(fd);
    EXPECT_EQ(coild.terminate(), 0);
    std::printf("[ figures  ] 1000 connections opened, closed and seen dead in %.3f s (%d refused by the backlog); "
                "RSS %ld kB before, %ld kB after\n",
                seconds, refused, rssBefore, rssAfter);
}

// One connection gets at most 4094 services and all of them together 12282
// (a full chassis watched by three); the excess is refused, in the log for a
// Register (which has no answer) and in the reply for an operator's request.
TEST_F(ClientDaemons, OneClientDaemonAndAllOfThemAreBounded) {
    start();
    auto registerMany = [](int fd, const std::string& prefix, int n) {
        std::vector<std::vector<uint8_t>> messages;
        for (int i = 0; i < n; i++) messages.push_back(clientMessage(prefix + std::to_string(i), 100, kRegister));
        return coiltest::sendMessages(fd, messages);
    };
    auto services = [&](int n) {
        return within(20, [&] {
            return coild.ctl({"show"}).out.find("services               " + std::to_string(n) + "\n") != std::string::npos;
        });
    };
    const auto began = std::chrono::steady_clock::now();
    std::vector<int> daemons;
    for (const char* prefix : {"a", "b", "c"}) {
        daemons.push_back(connect());
        ASSERT_TRUE(registerMany(daemons.back(), prefix, 4095));  // one too many each
    }
    ASSERT_TRUE(services(3 * 4094)) << coild.ctl({"show"}).out;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_TRUE(coild.logShows("Register of \"a4094\" on VLAN instance 100 refused: a client daemon may have at most "
                               "4094 services (1 refused so far)"));
    const int late = connect();
    ASSERT_TRUE(registerMany(late, "d", 1));
    EXPECT_TRUE(coild.logShows("Register of \"d0\" on VLAN instance 100 refused: client daemons may have at most "
                               "12282 services in all"));
    const Outcome set = coild.ctl({"set", "coilServiceNode", "clientIdentifier=e", "vlanIfInstance=100", "vlan=blue",
                                   "rowStatus=createAndGo"});
    EXPECT_EQ(set.status, 1);
    EXPECT_NE(set.err.find("ERROR: client daemons may have at most 12282 services in all; no service for \"e:blue\" "
                           "created!"),
              std::string::npos)
        << set.err;
    std::printf("[ figures  ] 3 x 4095 Registers, 12282 services: %.2f s; RSS %ld kB\n", seconds, coild.rssKiB());
    // Room again once a client daemon is gone.
    ::close(daemons[0]);
    ASSERT_TRUE(services(2 * 4094));
    ASSERT_TRUE(registerMany(late, "d", 1));
    EXPECT_TRUE(services(2 * 4094 + 1));
    for (int fd : {late, daemons[1], daemons[2]}) ::close(fd);
}

}  // namespace
