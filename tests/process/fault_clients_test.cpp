// Client daemons that misbehave on the message server's socket of a running
// coild: one that dies in the middle of a message, one that sends a single
// byte and stalls, one that announces an oversized frame, and a thousand
// connections opened and closed. A well-behaved client (coil-client watch)
// and a steady service of another connection go on as if nothing happened.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "support/coild_process.h"

namespace {

using coiltest::CoildProcess;

// Blue loops through the cable; red does not.
const char* const kChassis =
    "chassis mac 02:00:00:c0:11:01 slots 2 first 1 ports 8\n"
    "vlan blue instance 100 tag 100 ports 1:1-1:4\n"
    "vlan red instance 200 tag 200 ports 2:1-2:4\n"
    "cable 1:1 1:2\n";

constexpr uint32_t kRegister = 1, kStartPoll = 2;

int countOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) n++;
    return n;
}

// True when the server has closed its end (end of stream or reset).
bool closedByServer(int fd, int timeoutMs) {
    return coiltest::within(timeoutMs / 1000.0, [fd] {
        char c;
        const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    });
}

class FaultyClients : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(coild.start(kChassis, {"--trace"})) << coild.errors();
        ASSERT_TRUE(coiltest::within(5, [&] { return !coild.messageSocket().empty(); }));
        socketPath = coild.messageSocket();
    }
    void TearDown() override {
        if (watcher > 0) {
            ::kill(watcher, SIGTERM);
            coiltest::waitExit(watcher, 5000);
        }
        if (steady >= 0) ::close(steady);
    }

    // A client daemon whose service loops: it reports every loop and starts
    // its poll again.
    void startWatcher() {
        watcher = coiltest::spawnProgram({coiltest::buildProgram("coil-client"), "--run-dir", coild.runDir, "--wait",
                                          "5", "watch", "--register", "good", "100", "--ports", "1:1", "--interval",
                                          "1", "--restart"},
                                         coild.base + "/watch.out", coild.base + "/watch.err");
        ASSERT_GT(watcher, 0);
    }
    int loopsReported() const { return countOf(coiltest::readFile(coild.base + "/watch.out"), "loop client=good"); }
    bool serviceListed(const std::string& client) const {
        return coild.ctl({"--json", "show", "services"}).out.find("\"clientIdentifier\":\"" + client + "\"") !=
               std::string::npos;
    }
    int connect() const { return CoildProcess::connectTo(socketPath); }

    CoildProcess coild;
    std::string socketPath;
    pid_t watcher = -1;
    int steady = -1;
};

TEST_F(FaultyClients, NoFaultOfOneClientCostsAnotherItsServiceOrItsReports) {
    startWatcher();
    // A second client with a continuous service on the VLAN without a loop.
    steady = connect();
    ASSERT_GE(steady, 0);
    for (uint32_t op : {kRegister, kStartPoll}) {
        const auto frame = coiltest::streamFrame(coiltest::clientMessage("steady", 200, op));
        ASSERT_TRUE(coiltest::sendAll(steady, frame.data(), frame.size()));
    }
    ASSERT_TRUE(coiltest::within(10, [&] { return loopsReported() >= 2; })) << coiltest::readFile(coild.base + "/watch.err");
    ASSERT_TRUE(coiltest::within(5, [&] { return serviceListed("steady"); }));

    // Dies in the middle of a message, after registering a service of its own.
    int dying = connect();
    ASSERT_GE(dying, 0);
    auto registered = coiltest::streamFrame(coiltest::clientMessage("victim", 200, kRegister));
    ASSERT_TRUE(coiltest::sendAll(dying, registered.data(), registered.size()));
    ASSERT_TRUE(coiltest::within(5, [&] { return serviceListed("victim"); }));
    auto half = coiltest::streamFrame(coiltest::clientMessage("victim", 200, kStartPoll));
    ASSERT_TRUE(coiltest::sendAll(dying, half.data(), 600));
    ::close(dying);

    // Sends one byte of a frame header and stalls, connected.
    int stalled = connect();
    ASSERT_GE(stalled, 0);
    ASSERT_TRUE(coiltest::sendAll(stalled, "\0", 1));

    // Announces a frame of 16 MiB: let go before any of it is read.
    int oversized = connect();
    ASSERT_GE(oversized, 0);
    const uint8_t huge[4] = {0x01, 0x00, 0x00, 0x00};
    ASSERT_TRUE(coiltest::sendAll(oversized, huge, sizeof huge));
    EXPECT_TRUE(closedByServer(oversized, 5000));
    ::close(oversized);

    // A thousand connections, each opened and closed at once.
    const long rssBefore = coild.rssKiB();
    const auto begin = std::chrono::steady_clock::now();
    int refused = 0;
    for (int i = 0; i < 1000; i++) {
        int fd = connect();
        if (fd < 0) {
            refused++;  // the listen backlog was full for a moment
            continue;
        }
        ::close(fd);
    }
    EXPECT_LT(refused, 1000);
    // Every one of them came and went as a peer (and so did the dying and
    // the oversized client).
    const int peers = 1000 - refused + 2;
    EXPECT_TRUE(coiltest::within(20, [&] { return countOf(coild.log(), "Peer dead") >= peers; }))
        << countOf(coild.log(), "Peer dead") << " of " << peers;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

    // coild answers and the other clients lose nothing.
    const int loopsBefore = loopsReported();
    EXPECT_TRUE(coiltest::within(10, [&] { return loopsReported() >= loopsBefore + 2; }))
        << "the watcher's reports stopped";
    EXPECT_TRUE(coiltest::within(5, [&] { return !serviceListed("victim"); })) << "a dead peer's service stays";
    EXPECT_TRUE(serviceListed("steady"));
    EXPECT_TRUE(serviceListed("good"));
    const long rssAfter = coild.rssKiB();
    if (!coiltest::kSanitizerBuild) {
        EXPECT_LT(rssAfter - rssBefore, 4096) << "kB grown over a thousand connections";
    }
    // A new client is served as the first ones were.
    int late = connect();
    ASSERT_GE(late, 0);
    auto lateRegister = coiltest::streamFrame(coiltest::clientMessage("late", 200, kRegister));
    ASSERT_TRUE(coiltest::sendAll(late, lateRegister.data(), lateRegister.size()));
    EXPECT_TRUE(coiltest::within(5, [&] { return serviceListed("late"); }));
    ::close(late);
    ::close(stalled);

    const std::string log = coild.log();
    EXPECT_NE(log.find("sent a frame of 16777216 bytes"), std::string::npos) << log;
    EXPECT_EQ(coild.terminate(), 0);
    std::printf("[ figures  ] 1000 connections opened, closed and seen dead in %.3f s (%d refused by the backlog); "
                "RSS %ld kB before, %ld kB after\n",
                seconds, refused, rssBefore, rssAfter);
}

}  // namespace
