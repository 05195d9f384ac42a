// Who may reach the daemon and what it takes in: the run directory is
// private to coild's user even when it existed with wider permissions, and
// holds one coild; the control socket takes only that user and root, the
// message server that user, its group and root, and both bound their
// connections (other users are tried for real when the test runs as root,
// through sockets whose file permissions were widened, so that only the
// credential check stands in the way); and start-up on inputs without
// bounds or in a hostile environment.
#include <gtest/gtest.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "mira/control/control_client.h"
#include "mira/core/control_server.h"
#include "mira/core/ipml_wire.h"
#include "support/coild_process.h"

namespace {

namespace fs = std::filesystem;

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The run directory is made private even when it existed wide open; one
// that is a symbolic link (which could be pointed elsewhere by whoever owns
// the link) is refused. With its socket file removed, a running coild still
// holds it: a second one is refused, and cannot take over the sockets; and a
// coild removes at its end only the files it made. The message server's
// address that cannot be published (its temporary file taken by a
// directory, as a full disk would refuse it) is logged and retried.
TEST(RunDirectory, IsPrivateHoldsOneCoildAndGetsItsAddressPublished) {
    coiltest::CoildProcess first, second, third, linked;
    fs::create_directories(first.runDir + "/coil_server.port.tmp");
    ::chmod(first.runDir.c_str(), 0777);
    ASSERT_TRUE(first.start()) << first.errors();
    EXPECT_EQ(modeOf(first.runDir), 0700u);
    EXPECT_EQ(modeOf(first.runDir + "/coild.sock") & 0777, 0600u);
    EXPECT_TRUE(first.logShows("WARNING ds: cannot publish " + first.runDir + "/coil_server.port"));
    EXPECT_TRUE(first.messageSocket().empty());
    fs::remove(first.runDir + "/coil_server.port.tmp");
    ASSERT_TRUE(coiltest::within(3, [&] { return !first.messageSocket().empty(); })) << first.log();
    EXPECT_EQ(::close(coiltest::CoildProcess::connectTo(first.messageSocket())), 0);
    EXPECT_EQ(modeOf(first.messageSocket()) & 0777, 0660u);
    ASSERT_EQ(first.ctl({"save"}).status, 0);
    EXPECT_EQ(modeOf(first.runDir + "/coil.conf"), 0600u);

    ASSERT_EQ(::unlink((first.runDir + "/coild.sock").c_str()), 0);
    second.runDir = third.runDir = first.runDir;
    EXPECT_FALSE(second.start());
    EXPECT_NE(second.errors().find("another coild runs on " + first.runDir), std::string::npos) << second.errors();
    EXPECT_TRUE(fs::exists(first.messageSocket()));
    EXPECT_EQ(first.terminate(), 0);
    ASSERT_TRUE(second.start()) << second.errors();  // the lock went with the process
    // With the whole directory emptied under it (lock file included) a
    // third coild gets in; the second, ending, leaves the files it did not make.
    fs::remove_all(second.runDir);
    ASSERT_TRUE(third.start()) << third.errors();
    EXPECT_EQ(second.terminate(), 0);
    EXPECT_TRUE(fs::exists(third.runDir + "/coild.sock"));
    EXPECT_TRUE(fs::exists(third.messageSocket()));
    EXPECT_EQ(third.ctl({"show"}).status, 0);

    fs::create_directories(linked.base + "/real");
    fs::create_directory_symlink(linked.base + "/real", linked.runDir);
    EXPECT_FALSE(linked.start());
    EXPECT_NE(linked.errors().find("is not a directory of this user"), std::string::npos) << linked.errors();
    EXPECT_FALSE(fs::exists(linked.base + "/real/coild.sock"));
}

// Runs fn in a child process as uid/gid; fn's result is the child's exit status.
int asUser(uid_t uid, gid_t gid, const std::function<int()>& fn) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const gid_t groups[] = {gid};
        if (::setgroups(1, groups) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0)
            ::_exit(100);
        ::_exit(fn());
    }
    return coiltest::waitExit(pid, 10'000);
}

TEST(OtherUsers, ControlTakesTheUserAndRootMessagesAlsoTheGroup) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    coiltest::CoildProcess coild;
    ASSERT_TRUE(coild.start(coiltest::kLoopChassis, {"--trace"})) << coild.errors();
    for (const std::string& dir : {coild.base, coild.runDir}) ::chmod(dir.c_str(), 0711);
    // 0: answered (or, for the message server, still connected), 1: closed
    // by coild, 2: could not connect.
    auto control = [&] {
        mira::control::Message show, reply;
        show.add("method", "get").add("object", "coilGlobalCfg").add("flag", "exact");
        std::string error;
        if (coild.request(1, show, &reply, &error, 2000)) return 0;
        return error.find("cannot reach") != std::string::npos ? 2 : 1;
    };
    auto message = [&](const std::string& client) {
        const int fd = coiltest::CoildProcess::connectTo(coild.messageSocket());
        if (fd < 0) return 2;
        coiltest::sendMessages(fd, {coiltest::clientMessage(client, 100, 1)});
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 500) > 0 ? 1 : 0;
    };
    constexpr uid_t kOther = 65534;  // nobody
    const gid_t mine = ::getegid();
    EXPECT_EQ(asUser(kOther, kOther, control), 2) << "mode 0600 keeps others out";
    ::chmod(mira::control::controlSocketPath(coild.runDir).c_str(), 0666);
    ::chmod(coild.messageSocket().c_str(), 0666);
    EXPECT_EQ(asUser(kOther, kOther, control), 1);
    EXPECT_EQ(asUser(kOther, mine, control), 1) << "the group is not enough";
    EXPECT_EQ(asUser(0, 0, control), 0);
    EXPECT_EQ(asUser(kOther, kOther, [&] { return message("intruder"); }), 1);
    EXPECT_EQ(asUser(kOther, mine, [&] { return message("member"); }), 0) << "a process of the group";
    EXPECT_TRUE(coild.logShows("refused a connection from uid 65534"));
    EXPECT_TRUE(coild.logShows("from uid 65534 gid 65534"));
    EXPECT_TRUE(coild.logShows("Register 1 [member:100]")) << "its request was served";
    EXPECT_EQ(coild.log().find("[intruder:100]"), std::string::npos);
}

TEST(ConnectionBounds, ExtraPeersAndControlConnectionsAreTurnedAwayAndTheRestServed) {
    coiltest::CoildProcess coild;
    ASSERT_TRUE(coild.start()) << coild.errors();
    const std::string socket = coild.messageSocket();
    std::vector<int> peers;
    for (size_t i = 0; i < mira::kIpmlMaxPeersPerUser + 8; i++) peers.push_back(coiltest::CoildProcess::connectTo(socket));
    auto closedCount = [&] { return size_t(std::count_if(peers.begin(), peers.end(), coiltest::peerClosed)); };
    // The ones beyond one user's bound are closed at once, the others once
    // they have been silent for the idle time: then a client daemon gets in.
    EXPECT_TRUE(coiltest::within(5, [&] { return closedCount() == 8; })) << closedCount() << " closed";
    EXPECT_NE(coild.log().find("too many peers of uid"), std::string::npos);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(coiltest::within(15, [&] { return closedCount() == peers.size(); })) << closedCount() << " closed";
    const double idleFor = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_NE(coild.log().find("sent nothing for 10 s; disconnected"), std::string::npos);
    for (int fd : peers) ::close(fd);
    const int client = coiltest::CoildProcess::connectTo(socket);
    ASSERT_TRUE(coiltest::sendMessages(client, {coiltest::clientMessage("ospf", 5, 1)}));
    pollfd p{client, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 200), 0) << "the client daemon stays connected";
    ::close(client);
    std::printf("[ figures  ] %zu idle peers of one user: 8 refused at once, the rest closed %.1f s later\n",
                peers.size(), idleFor);

    // The control socket: idle connections up to the bound, then an error reply.
    std::vector<int> idle;
    const std::string control = mira::control::controlSocketPath(coild.runDir);
    for (size_t i = 0; i < mira::control::kMaxConnections; i++) idle.push_back(coiltest::CoildProcess::connectTo(control));
    const mira::control::Message refused = coild.cm("get", "coilGlobalCfg");
    EXPECT_EQ(refused.get("status"), "error");
    EXPECT_EQ(refused.get("error"), "too many connections");
    ::close(idle.back());
    idle.pop_back();
    EXPECT_TRUE(coiltest::within(5, [&] { return coild.cm("get", "coilGlobalCfg").get("status") == "ok"; }));
    for (int fd : idle) ::close(fd);
    EXPECT_EQ(coild.terminate(), 0);
}

using coiltest::CoildProcess;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Refused: a topology that never ends or holds more than a model may. The
// largest model comes up in bounded time, and SIGTERM ends its loading.
// True once the process catches or holds SIGTERM.
bool handlesSigterm(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    uint64_t mask = 0;
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigCgt:", 0) == 0 || line.rfind("SigBlk:", 0) == 0)
            mask |= std::stoull(line.substr(7), nullptr, 16);
    return (mask >> (SIGTERM - 1)) & 1;
}

TEST(StartUp, TopologiesAreBoundedAndTheLargestLoadsInterruptibly) {
    CoildProcess coild;
    // 1025 VLANs on all 256 ports of a slot: over the 262016 memberships.
    std::ofstream(coild.base + "/wide.topo")
        << coiltest::vlanChassis("chassis mac 02:00:00:c0:11:01 slots 1 first 1 ports 256\n", 1025, "1:1-1:256");
    const std::pair<std::string, std::string> cases[] = {
        {"/dev/zero", "/dev/zero: larger than 1048576 bytes"},
        {coild.base + "/wide.topo", "wide.topo:1025: too many VLAN memberships (at most 262016 in all)"},
    };
    for (const auto& [topology, says] : cases) {
        const auto began = Clock::now();
        const coiltest::Outcome r = coiltest::runProgram(
            {coiltest::buildProgram("coild"), "--run-dir", coild.runDir, "--topology", topology}, coild.base, 20'000);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
        std::printf("[ figures  ] %s refused in %.2f s\n", topology.c_str(), secondsSince(began));
    }
    // Every VLAN tag on all 64 ports: the most memberships a model may hold.
    const std::string full = coiltest::vlanChassis("chassis mac 02:00:00:c0:11:01 slots 4 first 1 ports 16\n", 4094,
                                                   "1:1-1:16,2:1-2:16,3:1-3:16,4:1-4:16");
    std::ofstream(coild.base + "/full.topo") << full;
    for (int delayMs : {30, 150}) {
        const pid_t pid = coiltest::spawnProgram({coiltest::buildProgram("coild"), "--run-dir", coild.runDir,
                                                  "--topology", coild.base + "/full.topo"},
                                                 coild.base + "/coild.out", coild.base + "/coild.err");
        // Counted from coild's handler (a signal before it ends the process by default).
        ASSERT_TRUE(coiltest::within(5, [&] { return handlesSigterm(pid); }));
        ::usleep(useconds_t(delayMs) * 1000);
        const auto sent = Clock::now();
        ::kill(pid, SIGTERM);
        EXPECT_EQ(coiltest::waitExit(pid, 2000), 0) << "SIGTERM " << delayMs << " ms after the start";
        std::printf("[ figures  ] SIGTERM %d ms into start-up: exit 0 after %.3f s\n", delayMs, secondsSince(sent));
        EXPECT_FALSE(std::filesystem::exists(coild.runDir + "/coild.sock"));
    }
    // The largest model comes up, and stops, in bounded time.
    const auto began = Clock::now();
    ASSERT_TRUE(coild.start(full)) << coild.errors();
    std::printf("[ figures  ] 4094 VLANs x 64 ports: serving after %.2f s, RSS %ld kB\n", secondsSince(began),
                coild.rssKiB());
    EXPECT_EQ(coild.terminate(2000), 0);
}

}  // namespace
