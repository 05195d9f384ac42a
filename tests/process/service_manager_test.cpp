// coild as a system service: readiness and reload told to the service
// manager ($NOTIFY_SOCKET), the saved configuration in the state directory
// and reloaded on SIGHUP, and the event log sent to syslog at each line's
// level (through a private /dev/log in a mount namespace of its own).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/coild_process.h"

namespace {

// A Unix datagram socket that collects what is sent to it.
class Datagrams {
  public:
    explicit Datagrams(std::string socketPath) : path(std::move(socketPath)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0) << path;
    }
    ~Datagrams() {
        ::close(fd_);
        ::unlink(path.c_str());
    }
    // Receives until a datagram (since the last match) contains text.
    bool waitFor(const std::string& text, double seconds) {
        return coiltest::within(seconds, [&] {
            char buffer[4096];
            for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
                received.emplace_back(buffer, size_t(n));
            for (; next_ < received.size(); next_++)
                if (received[next_].find(text) != std::string::npos) {
                    next_++;
                    return true;
                }
            return false;
        });
    }

    std::string path;
    std::vector<std::string> received;

  private:
    int fd_ = -1;
    size_t next_ = 0;
};

TEST(ServiceManager, IsToldReadyAndReloadsTheSavedConfigurationOnSighup) {
    coiltest::CoildProcess coild;
    const std::string state = coild.base + "/state/coil";  // its parent does not exist yet
    Datagrams notify(coild.base + "/notify.sock");
    ::setenv("NOTIFY_SOCKET", notify.path.c_str(), 1);
    const bool started = coild.start("", {"--state-dir", state});
    ::unsetenv("NOTIFY_SOCKET");
    ASSERT_TRUE(started) << coild.errors();
    EXPECT_TRUE(notify.waitFor("READY=1", 10));

    ASSERT_EQ(coild.ctl({"enable"}).status, 0);
    ASSERT_EQ(coild.ctl({"configure", "blue", "interval", "1"}).status, 0);
    const coiltest::Outcome saved = coild.ctl({"save"});
    EXPECT_NE(saved.out.find(state + "/coil.conf"), std::string::npos) << saved.out;
    EXPECT_TRUE(std::filesystem::exists(state + "/coil.conf"));
    EXPECT_FALSE(std::filesystem::exists(coild.runDir + "/coil.conf"));

    // Each step changes the running configuration, then SIGHUP brings the
    // saved one back: blue at interval 1, nothing else.
    struct Step {
        std::vector<std::vector<std::string>> commands;
        std::string outcome;
    };
    const Step steps[] = {
        {{{"configure", "red", "interval", "1"}, {"unconfigure", "blue"}},
         "0 services kept, 0 replaced, 1 added, 1 removed"},
        {{{"unconfigure", "blue"}, {"configure", "blue", "interval", "3"}},
         "0 services kept, 1 replaced, 0 added, 0 removed"},
        {{}, "1 services kept, 0 replaced, 0 added, 0 removed"},
    };
    for (const Step& step : steps) {
        for (const auto& command : step.commands) ASSERT_EQ(coild.ctl(command).status, 0);
        ASSERT_EQ(::kill(coild.pid(), SIGHUP), 0);
        EXPECT_TRUE(notify.waitFor("RELOADING=1", 10)) << step.outcome;
        EXPECT_TRUE(notify.waitFor("READY=1", 10)) << step.outcome;
        EXPECT_TRUE(coiltest::within(10, [&] { return coild.log().find(step.outcome) != std::string::npos; }))
            << step.outcome << "\n" << coild.log();
        const std::string services = coild.ctl({"--json", "show", "services"}).out;
        EXPECT_NE(services.find("\"blue\""), std::string::npos) << services;
        EXPECT_EQ(services.find("\"red\""), std::string::npos) << services;
    }
    EXPECT_EQ(coild.terminate(), 0);
    EXPECT_TRUE(notify.waitFor("STOPPING=1", 5));
}

TEST(ServiceManager, SyslogGetsEveryLineAtTheLevelOfItsSeverity) {
    if (::geteuid() != 0) GTEST_SKIP() << "a private /dev/log needs root (mount namespace)";
    const std::string unshare = coiltest::findProgram("unshare");
    if (unshare.empty()) GTEST_SKIP() << "unshare is not installed";
    coiltest::CoildProcess dirs;  // only for its directory
    if (coiltest::runProgram({unshare, "-m", "sh", "-c", "mount -t tmpfs tmpfs /dev"}, dirs.base).status != 0)
        GTEST_SKIP() << "no mount namespace here";

    // A saved configuration with a record the daemon refuses: its replay
    // logs a WARNING for that record and an INFO for the outcome.
    const std::string state = dirs.base + "/state";
    std::filesystem::create_directories(state);
    std::ofstream(state + "/coil.conf") << "coilGlobalCfg enable=true\n"
                                           "coilServiceNode clientIdentifier=1 vlanIfInstance=0 vlan=blue interval=5\n"
                                           "coilServiceNode clientIdentifier=1 vlanIfInstance=0 vlan=gone interval=5\n";
    Datagrams syslog(dirs.base + "/log.sock");
    const pid_t pid = coiltest::spawnProgram(
        {unshare, "-m", "sh", "-c", "mount -t tmpfs tmpfs /dev && ln -s \"$0\" /dev/log && exec \"$@\"", syslog.path,
         coiltest::buildProgram("coild"), "--run-dir", dirs.runDir, "--state-dir", state, "--log", "syslog"},
        dirs.base + "/coild.out", dirs.base + "/coild.err");
    ASSERT_GT(pid, 0);
    const bool replayed = syslog.waitFor("replayed: 2 of 3 records applied", 10);
    ::kill(pid, SIGTERM);
    EXPECT_EQ(coiltest::waitExit(pid, 10'000), 0);
    ASSERT_TRUE(replayed) << coiltest::readFile(dirs.base + "/coild.err");

    constexpr int kDaemonFacility = 3 << 3;
    const std::map<std::string, int> levels = {{"CRITICAL", 2}, {"ERROR", 3},  {"WARNING", 4}, {"NOTICE", 5},
                                               {"INFO", 6},     {"DEBUG", 7},  {"TRACE", 7}};
    std::map<std::string, int> seen;
    for (const std::string& d : syslog.received) {
        const size_t tag = d.find("coild[");
        ASSERT_NE(tag, std::string::npos) << d;
        const size_t text = d.find("]: ", tag) + 3;
        const std::string severity = d.substr(text, d.find(' ', text) - text);
        ASSERT_TRUE(levels.count(severity)) << d;
        EXPECT_EQ(d.rfind("<" + std::to_string(kDaemonFacility + levels.at(severity)) + ">", 0), 0u) << d;
        seen[severity]++;
    }
    EXPECT_GE(seen["WARNING"], 1);
    EXPECT_GE(seen["INFO"], 1);
}

}  // namespace
