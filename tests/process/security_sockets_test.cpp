// Who may reach the daemon and how much a peer can make it hold: the run
// directory is private to coild's user even when it existed with wider
// permissions, the control socket takes only that user and root, the
// message server that user, its group and root, and both bound their
// connections. Other users are tried for real when the test runs as root
// (through a socket whose file permissions were widened, so that only the
// credential check stands in the way); otherwise the rules are checked as
// functions.
#include <gtest/gtest.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/reset.h"
#include "clients/coil_server.h"
#include "mira/control/control_client.h"
#include "mira/control/control_frame.h"
#include "mira/core/control_server.h"
#include "mira/core/ipml_wire.h"
#include "mira/core/loop.h"
#include "mira/core/peer_cred.h"
#include "mira/core/platform.h"
#include "support/coild_process.h"
#include "support/harness.h"

namespace {

namespace fs = std::filesystem;
using mira::PeerIdentity;

constexpr uid_t kOther = 65534;  // nobody
constexpr gid_t kOtherGroup = 65534;

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(RunDirectory, IsMadePrivateEvenWhenItExistedWideOpenAndALinkIsRefused) {
    coiltest::CoildProcess coild;
    fs::create_directories(coild.runDir);
    ::chmod(coild.runDir.c_str(), 0777);
    ASSERT_TRUE(coild.start()) << coild.errors();
    EXPECT_EQ(modeOf(coild.runDir), 0700u);
    EXPECT_EQ(modeOf(coild.runDir + "/coild.sock") & 0777, 0600u);
    EXPECT_EQ(modeOf(coild.messageSocket()) & 0777, 0660u);
    ASSERT_EQ(coild.ctl({"save"}).status, 0);
    EXPECT_EQ(modeOf(coild.runDir + "/coil.conf"), 0600u);
    EXPECT_EQ(coild.terminate(), 0);

    // A run directory that is a symbolic link could be pointed elsewhere by
    // whoever owns the link.
    coiltest::CoildProcess linked;
    fs::create_directories(linked.base + "/real");
    fs::create_directory_symlink(linked.base + "/real", linked.runDir);
    EXPECT_FALSE(linked.start());
    EXPECT_NE(linked.errors().find("is not a directory of this user"), std::string::npos) << linked.errors();
    EXPECT_FALSE(fs::exists(linked.base + "/real/coild.sock"));
}

// With its socket file removed, a running coild still holds the run
// directory: a second one is refused, and cannot take over the sockets. A
// coild removes at its end only the files it made.
TEST(RunDirectory, HoldsOneCoildEvenWithoutItsSocketFile) {
    coiltest::CoildProcess first, second;
    ASSERT_TRUE(first.start()) << first.errors();
    ASSERT_EQ(::unlink((first.runDir + "/coild.sock").c_str()), 0);
    second.runDir = first.runDir;
    EXPECT_FALSE(second.start());
    EXPECT_NE(second.errors().find("another coild runs on " + first.runDir), std::string::npos) << second.errors();
    EXPECT_TRUE(fs::exists(first.messageSocket()));
    EXPECT_EQ(first.terminate(), 0);
    // The lock went with the process.
    ASSERT_TRUE(second.start()) << second.errors();
    // With the whole directory emptied under it (lock file included) a
    // second coild gets in; the first, ending, leaves the files it did not make.
    fs::remove_all(second.runDir);
    coiltest::CoildProcess third;
    third.runDir = second.runDir;
    ASSERT_TRUE(third.start()) << third.errors();
    EXPECT_EQ(second.terminate(), 0);
    EXPECT_TRUE(fs::exists(third.runDir + "/coild.sock"));
    EXPECT_TRUE(fs::exists(third.messageSocket()));
    EXPECT_EQ(third.ctl({"show"}).status, 0);
    EXPECT_EQ(third.terminate(), 0);
}

TEST(PeerRules, ControlTakesTheUserAndRootMessagesAlsoTheGroup) {
    const uid_t me = 1000;
    const gid_t mine = 1000;
    const struct {
        PeerIdentity who;
        bool control, message;
    } cases[] = {
        {{1, me, 5}, true, true},
        {{1, 0, 0}, true, true},
        {{1, 1001, mine}, false, true},  // the group is enough for messages only
        {{1, 1001, 1001}, false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mira::controlPeerAllowed(c.who, me), c.control) << c.who.uid << ":" << c.who.gid;
        EXPECT_EQ(mira::messagePeerAllowed(c.who, me, mine), c.message) << c.who.uid << ":" << c.who.gid;
    }
    // What the kernel reports for a socket pair of this process.
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    PeerIdentity who;
    ASSERT_TRUE(mira::peerIdentity(pair[0], &who));
    EXPECT_TRUE(who.uid == ::geteuid() && who.gid == ::getegid() && who.pid == ::getpid());
    ::close(pair[0]), ::close(pair[1]);
    EXPECT_FALSE(mira::peerIdentity(-1, &who));
}

// The in-process daemon with its sockets in a directory that other users
// may enter, for tries as another user.
class AsAnotherUser : public testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
        char pattern[] = "/tmp/coil-security-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        ::chmod(dir.c_str(), 0711);
        mira::setRunDir(dir);
        h = std::make_unique<coiltest::Harness>();
        std::string error;
        ASSERT_TRUE(mira::control::startControlServer(dir, &error)) << error;
        h->clearLog();
    }
    void TearDown() override {
        if (dir.empty()) return;
        mira::control::stopControlServer();
        h.reset();
        coiltest::resetDaemonAndPlatform();
        mira::setRunDir("");
        fs::remove_all(dir);
    }

    // Runs fn in a child process as uid/gid while the loop serves; fn's
    // result is the child's exit status.
    int asUser(uid_t uid, gid_t gid, const std::function<int()>& fn) {
        pid_t pid = ::fork();
        if (pid == 0) {
            const gid_t groups[] = {gid};
            if (::setgroups(1, groups) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0)
                ::_exit(100);
            ::_exit(fn());
        }
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            mira::drain();
            ::usleep(1000);
        }
        mira::drain();
        return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
    }

    std::string dir;
    std::unique_ptr<coiltest::Harness> h;
};

// 0: answered, 1: closed without an answer, 2: could not connect.
int controlTry(const std::string& dir) {
    mira::control::Message show, reply;
    show.add("method", "get").add("object", "coilGlobalCfg").add("flag", "exact");
    std::string error;
    if (mira::control::controlCall(mira::control::controlSocketPath(dir), mira::control::kTypeCm, show, &reply,
                                   &error, 2000))
        return 0;
    return error.find("cannot reach") != std::string::npos ? 2 : 1;
}

// 0: the peer stays connected, 1: the server closed it, 2: could not connect.
int messageTry(const std::string& path) {
    int fd = coiltest::CoildProcess::connectTo(path);
    if (fd < 0) return 2;
    const auto frame = coiltest::streamFrame(coiltest::clientMessage("intruder", 100, 1));
    coiltest::sendAll(fd, frame.data(), frame.size());
    pollfd p{fd, POLLIN, 0};
    const bool closed = ::poll(&p, 1, 500) > 0;
    ::close(fd);
    return closed ? 1 : 0;
}

TEST_F(AsAnotherUser, ControlSocketRefusesEveryoneButTheUserAndRoot) {
    const std::string socket = mira::control::controlSocketPath(dir);
    EXPECT_EQ(asUser(kOther, kOtherGroup, [&] { return controlTry(dir); }), 2) << "mode 0600 keeps others out";
    ::chmod(socket.c_str(), 0666);
    EXPECT_EQ(asUser(kOther, kOtherGroup, [&] { return controlTry(dir); }), 1);
    EXPECT_EQ(asUser(kOther, ::getegid(), [&] { return controlTry(dir); }), 1) << "the group is not enough";
    EXPECT_TRUE(h->logHas("refused a connection from uid 65534"));
    EXPECT_EQ(asUser(0, 0, [&] { return controlTry(dir); }), 0);
}

TEST_F(AsAnotherUser, MessageServerTakesTheUserItsGroupAndRootOnly) {
    const std::string socket = mira::ipmlSocketPath(gCoilServerPort);
    ASSERT_FALSE(socket.empty());
    ::chmod(socket.c_str(), 0666);
    EXPECT_EQ(asUser(kOther, kOtherGroup, [&] { return messageTry(socket); }), 1);
    EXPECT_TRUE(h->logHas("from uid 65534 gid 65534"));
    EXPECT_EQ(findCoilServiceNode("intruder", 100), nullptr);
    mira::setConditionEnabled("trace", "*", true);
    EXPECT_EQ(asUser(kOther, ::getegid(), [&] { return messageTry(socket); }), 0) << "a process of the group";
    EXPECT_TRUE(h->logHas("Register 1 [intruder:100]")) << "its request was served";
}

TEST(ConnectionBounds, ExtraPeersAndControlConnectionsAreTurnedAwayAndTheRestServed) {
    coiltest::CoildProcess coild;
    ASSERT_TRUE(coild.start()) << coild.errors();
    const std::string socket = coild.messageSocket();
    std::vector<int> peers;
    for (size_t i = 0; i < mira::kIpmlMaxPeersPerUser + 8; i++) peers.push_back(coiltest::CoildProcess::connectTo(socket));
    auto closedCount = [&] {
        size_t closed = 0;
        for (int fd : peers) {
            char c;
            closed += ::recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK) == 0 || errno == ECONNRESET;
        }
        return closed;
    };
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

}  // namespace
