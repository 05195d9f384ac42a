// Two coild processes as the primary and the backup module, linked through
// a shared peer directory: the backup follows the primary's services and
// disabled ports, and takes over with the remaining hold time when the
// primary goes away. Also a hostile peer on the link.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
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

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::string binary(const std::string& name) {
    const char* dir = std::getenv("COIL_BUILD_DIR");
    return std::string(dir ? dir : ".") + "/" + name;
}

std::string readText(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& out, const std::string& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The exit status, or -1 after timeoutMs (the process is then killed).
int waitExit(pid_t pid, int timeoutMs) {
    for (int waited = 0;; waited += 10) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (waited >= timeoutMs) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool within(double seconds, const std::function<bool()>& condition) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    do {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (Clock::now() < end);
    return condition();
}

// A table's rows without their last `drop` columns (counters that only the
// polling module moves).
std::string withoutLastColumns(const std::string& table, int drop) {
    std::istringstream in(table);
    std::string line, out;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string x; words >> x;) w.push_back(x);
        w.resize(w.size() > size_t(drop) ? w.size() - size_t(drop) : 0);
        for (const std::string& x : w) out += x + " ";
        out += "\n";
    }
    return out;
}

struct Module {
    std::string name, runDir, log;
    pid_t pid = -1;
};

class Pair : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/coil-pair-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        base = tmpl;
        peerDir = base + "/peer";
        a = {"a", base + "/a", base + "/a.log"};
        b = {"b", base + "/b", base + "/b.log"};
    }
    void TearDown() override {
        for (Module* m : {&a, &b})
            if (m->pid > 0) stop(*m, SIGKILL);
        std::system(("rm -rf '" + base + "'").c_str());
    }

    void start(Module& m, const std::string& role) {
        m.pid = spawn({binary("coild"), "--run-dir", m.runDir, "--log", m.log, "--debug", "--role", role, "--peer-dir",
                       peerDir},
                      base + "/" + m.name + ".out", base + "/" + m.name + ".err");
        ASSERT_GT(m.pid, 0);
        ASSERT_TRUE(within(5, [&] { return ctl(m, {"show"}).first == 0; }))
            << m.name << " does not answer: " << readText(base + "/" + m.name + ".err");
    }
    void stop(Module& m, int signal) {
        ::kill(m.pid, signal);
        waitExit(m.pid, 5000);
        m.pid = -1;
    }

    // Exit status and standard output of coilctl against the module.
    std::pair<int, std::string> ctl(const Module& m, std::vector<std::string> args) {
        args.insert(args.begin(), {binary("coilctl"), "--run-dir", m.runDir});
        const std::string out = base + "/ctl.out";
        const pid_t pid = spawn(args, out, base + "/ctl.err");
        if (pid <= 0) return {-1, ""};
        const int status = waitExit(pid, 10000);
        return {status, readText(out)};
    }
    std::string show(const Module& m, const std::string& what) { return ctl(m, {"show", what}).second; }
    bool logHas(const Module& m, const std::string& text) { return readText(m.log).find(text) != std::string::npos; }

    void configureServices(const Module& m) {
        ASSERT_EQ(ctl(m, {"enable"}).first, 0);
        ASSERT_EQ(ctl(m, {"configure", "blue", "interval", "1", "disable-port", "6"}).first, 0);
        ASSERT_EQ(ctl(m, {"configure", "red", "interval", "2"}).first, 0);
    }

    std::string base, peerDir;
    Module a, b;
};

TEST_F(Pair, TheBackupFollowsThePrimaryAndTakesOverWithTheRemainingHoldTime) {
    start(b, "backup");
    start(a, "primary");
    ASSERT_TRUE(within(5, [&] { return logHas(b, "dm: checkpoint link up"); })) << readText(b.log);
    // The configuration manager of each module holds the configuration; the
    // backup's is applied first, so every checkpoint finds its services.
    configureServices(b);
    configureServices(a);

    ASSERT_EQ(ctl(a, {"lab", "cable", "1:1", "1:2"}).first, 0);
    ASSERT_TRUE(within(5, [&] { return show(a, "disabled-ports").find("1:2") != std::string::npos; }))
        << show(a, "disabled-ports");
    const std::string disabled = show(a, "disabled-ports");
    EXPECT_TRUE(within(2, [&] { return show(b, "disabled-ports") == disabled; })) << show(b, "disabled-ports");
    EXPECT_EQ(withoutLastColumns(show(b, "services"), 2), withoutLastColumns(show(a, "services"), 2));

    // Let part of the hold time pass, then lose the primary.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    stop(a, SIGKILL);
    ASSERT_TRUE(within(3, [&] { return logHas(b, "this module becomes the primary"); })) << readText(b.log);
    ASSERT_TRUE(within(2, [&] { return logHas(b, "activateCoilService() duration("); }));
    const std::string log = readText(b.log);
    int remaining = 0, elapsed = 0;
    const size_t at = log.find("activateCoilService() duration(");
    ASSERT_EQ(std::sscanf(log.c_str() + at, "activateCoilService() duration(%d) = disablePortDuration(6) - timeDiff(%d)",
                          &remaining, &elapsed),
              2)
        << log.substr(at, 100);
    EXPECT_GE(elapsed, 2);
    EXPECT_EQ(remaining + elapsed, 6);
    EXPECT_EQ(show(b, "disabled-ports"), disabled) << "the record stays until its timer enables the port";
    const auto takeover = Clock::now();
    ASSERT_TRUE(within(remaining + 2, [&] { return logHas(b, "Enabling port 1:2. 6 second duration timer has expired."); }));
    EXPECT_GE(Clock::now() - takeover, std::chrono::seconds(remaining - 1));

    // The new primary runs the services: a loop on its own switch is found.
    ASSERT_EQ(ctl(b, {"lab", "cable", "1:3", "1:4"}).first, 0);
    EXPECT_TRUE(within(5, [&] { return show(b, "disabled-ports").find("1:4") != std::string::npos ||
                                       show(b, "disabled-ports").find("1:3") != std::string::npos; }))
        << show(b, "disabled-ports");
}

TEST_F(Pair, AModuleStartedWithTheSavedConfigurationGetsTheBulkCopyAndTakesOverOnAStop) {
    start(a, "primary");
    configureServices(a);
    ASSERT_EQ(ctl(a, {"lab", "cable", "1:5", "1:6"}).first, 0);
    ASSERT_TRUE(within(5, [&] { return show(a, "disabled-ports").find("blue") != std::string::npos; }));
    ASSERT_EQ(ctl(a, {"save"}).first, 0);
    ASSERT_EQ(::mkdir(b.runDir.c_str(), 0700), 0);
    std::ofstream(b.runDir + "/coil.conf") << readText(a.runDir + "/coil.conf");

    start(b, "backup");
    EXPECT_TRUE(within(5, [&] { return show(b, "disabled-ports") == show(a, "disabled-ports"); }))
        << show(b, "disabled-ports") << "\n" << show(a, "disabled-ports");
    EXPECT_EQ(withoutLastColumns(show(b, "services"), 2), withoutLastColumns(show(a, "services"), 2));

    stop(a, SIGTERM);
    EXPECT_TRUE(within(3, [&] { return logHas(b, "this module becomes the primary"); })) << readText(b.log);
}

// Frames as the link carries them: type, payload length, payload.
std::string frame(uint32_t type, const std::string& payload) {
    std::string out;
    for (uint32_t v : {type, uint32_t(payload.size())})
        for (int shift = 24; shift >= 0; shift -= 8) out += char(v >> shift);
    return out + payload;
}

int connectTo(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST_F(Pair, AHostilePeerCannotHarmTheBackup) {
    start(b, "backup");
    configureServices(b);
    const std::string socketPath = peerDir + "/coil-dm.sock";
    std::mt19937 rng(7);
    auto junk = [&](size_t n) {
        std::string s(n, '\0');
        for (char& c : s) c = char(rng());
        return s;
    };
    const std::string primaryHello = frame(0x444d0001, std::string("\0\0\0\6", 4));
    // Each round: a hello, then nonsense the backup must survive: random
    // checkpoint payloads, a frame of an unknown type, an oversized frame.
    const std::vector<std::string> endings = {
        frame(0x444d0002, junk(3)),
        frame(0x777, "x"),
        std::string("\x44\x4d\x00\x02\x7f\xff\xff\xff", 8),
        frame(0x444d0002, std::string("\0\0\0\1", 4) + junk(5000)) +
            frame(0x444d0002, std::string("\0\0\0\1\2\1\1\x78", 8) + junk(372)) +
            frame(0x444d0002, std::string("\0\0\0\0", 4) + junk(116)) + frame(0x444d0002, junk(3000)) + junk(5),
    };
    for (const std::string& ending : endings) {
        int fd = -1;
        ASSERT_TRUE(within(3, [&] { return (fd = connectTo(socketPath)) >= 0; }));
        const std::string bytes = primaryHello + ending;
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ::close(fd);
        ASSERT_EQ(ctl(b, {"show"}).first, 0) << readText(base + "/b.err");
        ASSERT_EQ(ctl(b, {"lab", "role", "backup"}).first, 0);  // so that the next round reaches the parsers
    }
    EXPECT_TRUE(logHas(b, "checkpoint link down"));
    EXPECT_TRUE(logHas(b, "this module becomes the primary")) << "a lost link after it was up is a lost primary";
    EXPECT_NE(show(b, "services").find("blue"), std::string::npos);
}

}  // namespace
