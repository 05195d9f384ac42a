// Two coild processes as the primary and the backup module, linked through
// a shared peer directory: the backup follows the primary's services and
// disabled ports, and takes over with the remaining hold time when the
// primary goes away. Also a hostile peer on the link, a peer that reads
// slowly, another user listening as the peer, and peer directories that
// others could use.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mira/control/control_client.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::string readText(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

// Runs argv (a program of the build) with its output in out; returns the pid.
pid_t spawn(std::vector<std::string> argv, const std::string& out) {
    const char* dir = std::getenv("COIL_BUILD_DIR");
    argv[0] = std::string(dir ? dir : ".") + "/" + argv[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (out + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

bool within(double seconds, const std::function<bool()>& condition) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// The exit status; the process is killed when it has not ended in time.
int waitExit(pid_t pid, double seconds) {
    int status = 0;
    if (!within(seconds, [&] { return ::waitpid(pid, &status, WNOHANG) == pid; })) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The table without its last two columns (the counters that only the
// polling module moves).
std::string withoutCounters(const std::string& table) {
    std::istringstream in(table);
    std::string line, out;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string x; words >> x;) w.push_back(x);
        for (size_t i = 0; i + 2 < w.size(); i++) out += w[i] + " ";
        out += "\n";
    }
    return out;
}

struct Module {
    std::string dir;
    pid_t pid = -1;
    std::string log() const { return readText(dir + ".log"); }
};

class Pair : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/coil-pair-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        base = tmpl;
        a.dir = base + "/a";
        b.dir = base + "/b";
    }
    void TearDown() override {
        for (Module* m : {&a, &b})
            if (m->pid > 0) stop(*m, SIGKILL);
        std::system(("rm -rf '" + base + "'").c_str());
    }

    void start(Module& m, const std::string& role) {
        m.pid = spawn({"coild", "--run-dir", m.dir, "--state-dir", m.dir, "--log", m.dir + ".log", "--debug", "--role", role, "--peer-dir",
                       base + "/peer"},
                      m.dir + ".out");
        ASSERT_TRUE(within(5, [&] { return ctl(m, {"show"}).first == 0; })) << readText(m.dir + ".out.err");
    }
    void stop(Module& m, int signal) {
        ::kill(m.pid, signal);
        waitExit(m.pid, 5);
        m.pid = -1;
    }
    std::pair<int, std::string> ctl(const Module& m, std::vector<std::string> args) {
        args.insert(args.begin(), {"coilctl", "--run-dir", m.dir});
        const pid_t pid = spawn(args, base + "/ctl.out");
        const int status = pid > 0 ? waitExit(pid, 10) : -1;
        return {status, readText(base + "/ctl.out")};
    }
    std::string show(const Module& m, const std::string& what) { return ctl(m, {"show", what}).second; }
    bool logged(const Module& m, const std::string& text, double seconds) {
        return within(seconds, [&] { return m.log().find(text) != std::string::npos; });
    }
    void configureServices(const Module& m) {
        ASSERT_EQ(ctl(m, {"enable"}).first, 0);
        ASSERT_EQ(ctl(m, {"configure", "blue", "interval", "1", "disable-port", "6"}).first, 0);
        ASSERT_EQ(ctl(m, {"configure", "red", "interval", "2"}).first, 0);
    }

    std::string base;
    Module a, b;
};

TEST_F(Pair, TheBackupFollowsThePrimaryAndTakesOverWithTheRemainingHoldTime) {
    start(b, "backup");
    start(a, "primary");
    ASSERT_TRUE(logged(b, "dm: checkpoint link up", 5)) << b.log();
    // Each module's configuration manager holds the configuration; the
    // backup's first, so that every checkpoint finds its service.
    configureServices(b);
    configureServices(a);
    ASSERT_EQ(ctl(a, {"lab", "cable", "1:1", "1:2"}).first, 0);
    ASSERT_TRUE(within(5, [&] { return show(a, "disabled-ports").find("1:2 ") != std::string::npos; }));
    const std::string disabled = show(a, "disabled-ports");
    EXPECT_TRUE(within(2, [&] { return show(b, "disabled-ports") == disabled; })) << show(b, "disabled-ports");
    EXPECT_EQ(withoutCounters(show(b, "services")), withoutCounters(show(a, "services")));

    std::this_thread::sleep_for(std::chrono::seconds(2));  // part of the hold time passes
    stop(a, SIGKILL);
    ASSERT_TRUE(logged(b, "this module becomes the primary", 3)) << b.log();
    ASSERT_TRUE(logged(b, "activateCoilService() duration(", 2));
    const std::string log = b.log();
    int remaining = 0, elapsed = 0;
    const size_t at = log.find("activateCoilService() duration(");
    ASSERT_EQ(std::sscanf(log.c_str() + at, "activateCoilService() duration(%d) = disablePortDuration(6) - timeDiff(%d)",
                          &remaining, &elapsed),
              2);
    EXPECT_GE(elapsed, 2);
    EXPECT_EQ(remaining + elapsed, 6);
    EXPECT_EQ(show(b, "disabled-ports"), disabled);
    // Still disabled right after the takeover, enabled when the remaining time is up. (How long after is
    // not measured here: on a loaded machine the takeover is seen late.)
    EXPECT_TRUE(logged(b, "Enabling port 1:2. 6 second duration timer has expired.", remaining + 2));

    // The new primary runs the services: a loop on its own switch is cut.
    ASSERT_EQ(ctl(b, {"lab", "cable", "1:3", "1:4"}).first, 0);
    EXPECT_TRUE(within(5, [&] { return show(b, "disabled-ports").find("1:3 ") != std::string::npos ||
                                       show(b, "disabled-ports").find("1:4 ") != std::string::npos; }));
}

TEST_F(Pair, AModuleStartedWithTheSavedConfigurationGetsTheBulkCopy) {
    start(a, "primary");
    configureServices(a);
    ASSERT_EQ(ctl(a, {"lab", "cable", "1:5", "1:6"}).first, 0);
    ASSERT_TRUE(within(5, [&] { return show(a, "disabled-ports").find("blue") != std::string::npos; }));
    ASSERT_EQ(ctl(a, {"save"}).first, 0);
    ASSERT_EQ(::mkdir(b.dir.c_str(), 0700), 0);
    std::ofstream(b.dir + "/coil.conf") << readText(a.dir + "/coil.conf");

    start(b, "backup");
    EXPECT_TRUE(within(5, [&] { return show(b, "disabled-ports") == show(a, "disabled-ports"); }));
    EXPECT_EQ(withoutCounters(show(b, "services")), withoutCounters(show(a, "services")));
    stop(a, SIGTERM);
    EXPECT_TRUE(logged(b, "this module becomes the primary", 3)) << b.log();
}

std::string frame(uint32_t type, const std::string& payload) {
    std::string out;
    for (uint32_t v : {type, uint32_t(payload.size())})
        for (int shift = 24; shift >= 0; shift -= 8) out += char(v >> shift);
    return out + payload;
}

TEST_F(Pair, AHostilePeerCannotHarmTheBackup) {
    start(b, "backup");
    configureServices(b);
    std::mt19937 rng(7);
    auto junk = [&](size_t n) {
        std::string s(n, '\0');
        for (char& c : s) c = char(rng());
        return s;
    };
    const uint32_t kHello = 0x444d0001, kCheckpoint = 0x444d0002;
    // After a hello, nonsense: a short checkpoint, an unknown frame type, an
    // oversized frame, random records of kinds 1 and 0.
    const std::string endings[] = {
        frame(kCheckpoint, junk(3)),
        frame(0x777, "x"),
        std::string("\x44\x4d\x00\x02\x7f\xff\xff\xff", 8),
        frame(kCheckpoint, std::string("\0\0\0\1", 4) + junk(5000)) +
            frame(kCheckpoint, std::string("\0\0\0\1\2\1\1\x78", 8) + junk(372)) +
            frame(kCheckpoint, std::string("\0\0\0\0", 4) + junk(116)) + junk(5),
    };
    for (const std::string& ending : endings) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/peer/coil-dm.sock", base.c_str());
        ASSERT_TRUE(within(3, [&] { return ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0; }));
        const std::string bytes = frame(kHello, std::string("\0\0\0\6", 4)) + ending;
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ::close(fd);
        ASSERT_EQ(ctl(b, {"show"}).first, 0) << readText(b.dir + ".out.err");
        ASSERT_EQ(ctl(b, {"lab", "role", "backup"}).first, 0);  // each lost link made it the primary
    }
    EXPECT_TRUE(logged(b, "checkpoint link down: the peer announced a frame of 2147483647 bytes", 0));
    EXPECT_NE(show(b, "services").find("blue"), std::string::npos);
}

// Listens as the peer module would: holds the lock and the socket of dir.
int listenAsPeer(const std::string& dir, int* lock) {
    ::mkdir(dir.c_str(), 0700);
    *lock = ::open((dir + "/coil-dm.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (*lock < 0 || ::flock(*lock, LOCK_EX | LOCK_NB) != 0) return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/coil-dm.sock", dir.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
    return fd;
}

TEST_F(Pair, APeerDirectoryOthersCouldUseIsRefused) {
    const std::string peer = base + "/peer";
    struct Case {
        const char* what;
        std::function<void()> make;
    } cases[] = {
        {"writable by others", [&] { ::mkdir(peer.c_str(), 0700), ::chmod(peer.c_str(), 0777); }},
        {"a link", [&] { ::mkdir((base + "/real").c_str(), 0700), ::symlink((base + "/real").c_str(), peer.c_str()); }},
    };
    for (const Case& c : cases) {
        std::system(("rm -rf '" + peer + "'").c_str());
        c.make();
        const pid_t pid = spawn({"coild", "--run-dir", a.dir, "--peer-dir", peer}, base + "/refused.out");
        EXPECT_EQ(waitExit(pid, 5), 1) << c.what;
        EXPECT_NE(readText(base + "/refused.out.err").find("must be a directory of this user that no one else may write"),
                  std::string::npos)
            << c.what << ": " << readText(base + "/refused.out.err");
    }
    // A lock file that is a link is not followed to create its target.
    std::system(("rm -rf '" + peer + "'").c_str());
    ::mkdir(peer.c_str(), 0700);
    ::symlink((base + "/target").c_str(), (peer + "/coil-dm.lock").c_str());
    start(a, "primary");
    EXPECT_TRUE(logged(a, "lock file " + peer + "/coil-dm.lock is a symbolic link: not followed", 5));
    EXPECT_NE(::access((base + "/target").c_str(), F_OK), 0);
}

// Another user listening on the peer socket is not taken for the peer
// module (the tests run as root in CI; elsewhere there is no other user to be).
TEST_F(Pair, AListenerOfAnotherUserIsNotThePeer) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
    int lock = -1;
    const int fd = listenAsPeer(base + "/peer", &lock);
    ASSERT_GE(fd, 0);
    const pid_t impostor = ::fork();
    if (impostor == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0 || ::listen(fd, 4) != 0) ::_exit(1);
        for (;;) ::pause();
    }
    start(a, "primary");
    EXPECT_TRUE(logged(a, "coil-dm.sock is served by uid 65534: not a peer module", 5));
    EXPECT_FALSE(logged(a, "connected to the peer module", 0.5));
    ::kill(impostor, SIGKILL);
    ::waitpid(impostor, nullptr, 0);
    ::close(fd);
    ::close(lock);
}

// A backup that reads its checkpoints slowly holds up none of the primary's
// requests; the primary drops the link once a checkpoint has waited too long.
TEST_F(Pair, ASlowPeerHoldsUpNoOne) {
    int lock = -1;
    const int listener = listenAsPeer(base + "/peer", &lock);
    ASSERT_GE(listener, 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    start(a, "primary");
    const int peer = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    const std::string hello = frame(0x444d0001, std::string("\0\0\0\5", 4));
    ASSERT_EQ(::send(peer, hello.data(), hello.size(), MSG_NOSIGNAL), ssize_t(hello.size()));
    ASSERT_TRUE(logged(a, "checkpoint link up", 5));
    std::thread slowReader([&] {
        char buf[4096];
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            if (::recv(peer, buf, sizeof buf, 0) <= 0) return;
        }
    });

    // Each new service is checkpointed: far more than the socket holds.
    double worst = 0;
    int made = 0;
    const std::string socket = mira::control::controlSocketPath(a.dir);
    for (; made < 1000 && worst < 1.0; made++) {
        mira::control::Message set, reply;
        set.add("method", "set").add("object", "coilServiceNode");
        for (std::string attr : {"clientIdentifier=daemon-" + std::to_string(made), std::string("vlanIfInstance=5"),
                                 std::string("vlan=blue"), std::string("rowStatus=createAndGo")})
            set.add("attr", attr);
        std::string error;
        const auto begin = Clock::now();
        ASSERT_TRUE(mira::control::controlCall(socket, 1, set, &reply, &error)) << error;
        worst = std::max(worst, std::chrono::duration<double>(Clock::now() - begin).count());
    }
    const auto filled = Clock::now();
    EXPECT_EQ(made, 1000);
    EXPECT_LT(worst, 0.5) << "a request waited for the slow peer";
    EXPECT_TRUE(logged(a, "checkpoint link down: data left unread for more than 10000 ms", 15));
    const double dropped = std::chrono::duration<double>(Clock::now() - filled).count();
    ::shutdown(peer, SHUT_RDWR);
    slowReader.join();
    ::close(peer);
    ::close(listener);
    ::close(lock);
    std::printf("[ figures  ] slow peer: %d services checkpointed, slowest request %.1f ms; link dropped %.1f s later\n",
                made, worst * 1000, dropped);
}

}  // namespace
