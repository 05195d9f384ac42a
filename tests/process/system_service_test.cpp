// coild installed and run as a system service: what `cmake --install` puts
// in place, checked by the tools that use it (systemd-analyze, man, a C
// program built through pkg-config); readiness and reload told to the
// service manager ($NOTIFY_SOCKET), the saved configuration in the state
// directory and reloaded on SIGHUP; the event log sent to syslog at each
// line's level (through a private /dev/log in a mount namespace of its own),
// bounded in its file when every VLAN loops, and the loop trap received by
// snmptrapd as an SNMPv2c notification.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/coild_process.h"

namespace {

namespace fs = std::filesystem;

// Tools missing on this machine are skipped (CI installs them all).
TEST(Installed, EveryFileIsInItsPlaceAndTheToolsThatUseThemAcceptThem) {
    coiltest::CoildProcess dirs;  // only for its directory
    const std::string root = dirs.base + "/root", prefix = root + COIL_INSTALL_PREFIX;
    const coiltest::Outcome installed = coiltest::runProgram(
        {"/usr/bin/env", "DESTDIR=" + root, COIL_CMAKE_COMMAND, "--install", COIL_BINARY_DIR}, dirs.base, 120'000);
    ASSERT_EQ(installed.status, 0) << installed.out << installed.err;
    for (const char* file : {"sbin/coild", "bin/coilctl", "bin/coil-client", "include/coil_client.h",
                             "share/man/man8/coild.8", "share/man/man8/coilctl.8", "share/man/man1/coil-client.1",
                             "lib/systemd/system/coild.service", "share/snmp/mibs/COIL-MIB.txt",
                             "share/doc/coil/examples/coil.conf", "share/doc/coil/examples/chassis.topo"})
        EXPECT_TRUE(fs::exists(prefix + "/" + file)) << file;
    EXPECT_TRUE(fs::exists(root + COIL_INSTALL_SYSCONFDIR + "/default/coild"));

    // systemd-analyze checks the unit, its programs' paths moved under the
    // install root, against this machine's units (the manual pages below).
    if (const std::string analyze = coiltest::findProgram("systemd-analyze"); !analyze.empty()) {
        // (verify checks that the program it starts is there.)
        std::ofstream(dirs.base + "/coild.service") << std::regex_replace(
            coiltest::readFile(prefix + "/lib/systemd/system/coild.service"),
            std::regex("^(ExecStart=|EnvironmentFile=-)/", std::regex::multiline), "$1" + root + "/");
        const coiltest::Outcome r = coiltest::runProgram({analyze, "verify", "--man=no", dirs.base + "/coild.service"}, dirs.base);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(r.err.find("coild.service"), std::string::npos) << r.err;
    }
    if (const std::string man = coiltest::findProgram("man"); !man.empty()) {
        for (const char* page : {"man8/coild.8", "man8/coilctl.8", "man1/coil-client.1"}) {
            const coiltest::Outcome r = coiltest::runProgram({man, "--warnings", "-l", prefix + "/share/man/" + page}, dirs.base);
            EXPECT_EQ(r.status, 0) << page << r.err;
            EXPECT_EQ(r.err, "") << page;
            EXPECT_NE(r.out.find("SYNOPSIS"), std::string::npos) << page;
        }
    }
    // A C program builds on the client library through pkg-config.
    if (const std::string pkgConfig = coiltest::findProgram("pkg-config"); !pkgConfig.empty()) {
        std::ofstream(dirs.base + "/client.c") << "#include <coil_client.h>\n"
                                                  "int main(void) {\n"
                                                  "    char error[256];\n"
                                                  "    coilClient* c = coilClientConnect(\"/nonexistent\", error, sizeof error);\n"
                                                  "    return c == 0 && error[0] != 0 ? 0 : 1;\n"
                                                  "}\n";
        const std::string build = std::string(COIL_C_COMPILER) + " -o client client.c $(" + pkgConfig +
                                  " --cflags --libs coilclient)";
        const coiltest::Outcome built = coiltest::runProgram(
            {"/usr/bin/env", "PKG_CONFIG_PATH=" + prefix + "/lib/pkgconfig", "PKG_CONFIG_SYSROOT_DIR=" + root, "/bin/sh",
             "-c", "cd '" + dirs.base + "' && " + build},
            dirs.base);
        ASSERT_EQ(built.status, 0) << built.err;
        EXPECT_EQ(coiltest::runProgram({dirs.base + "/client"}, dirs.base).status, 0);
    }
    // coild applies the installed example configuration whole.
    coiltest::CoildProcess coild;
    fs::create_directories(coild.base + "/state");
    fs::copy_file(prefix + "/share/doc/coil/examples/coil.conf", coild.base + "/state/coil.conf");
    ASSERT_TRUE(coild.start("", {"--state-dir", coild.base + "/state"})) << coild.errors();
    EXPECT_NE(coild.log().find("replayed: 2 of 2 records applied"), std::string::npos) << coild.log();
    EXPECT_NE(coild.ctl({"--json", "show", "services"}).out.find("\"blue\""), std::string::npos);
}

// A Unix datagram socket that collects what is sent to it.
class Datagrams {
  public:
    explicit Datagrams(std::string socketPath) : path(std::move(socketPath)), fd_(coiltest::bindUnix(path, SOCK_DGRAM)) {
        EXPECT_GE(fd_, 0) << path;
    }
    ~Datagrams() { ::close(fd_); }
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
    int fd_;
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
    ASSERT_EQ(coild.ctl({"save"}).status, 0);
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
        EXPECT_TRUE(coild.logShows(step.outcome, 10)) << step.outcome << "\n" << coild.log();
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

TEST(EventLogBounds, ReportsOfManyLoopingVlansAreRateLimitedAndTheFileRotated) {
    constexpr int kVlans = 200;
    const std::string topology =
        coiltest::vlanChassis("chassis mac 02:00:00:c0:11:01 slots 1 first 1 ports 8\ncable 1:1 1:2\n", kVlans, "1:1-1:2");
    coiltest::CoildProcess coild;
    ASSERT_TRUE(coild.start(topology, {"--log-max", "4096"})) << coild.errors();
    ASSERT_EQ(coild.ctl({"enable"}).status, 0);
    // Every VLAN probed each second, every loop reported to the log.
    for (int v = 1; v <= kVlans; v++)
        ASSERT_TRUE(coild.createService({"clientIdentifier=1", "vlanIfInstance=" + std::to_string(v),
                                         "vlan=v" + std::to_string(v), "interval=1", "action=2"}));
    const auto began = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(4));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const std::string log = coild.log() + coiltest::readFile(coild.logPath + ".1");
    EXPECT_EQ(coild.terminate(), 0);

    const int reports = coiltest::countOf(log, "COIL.Report.Message: ");
    const int summaries = coiltest::countOf(log, " reports suppressed");
    std::printf("[ figures  ] %d looping VLANs, %.1f s: %d report lines, %d suppressed-count lines kept\n", kVlans,
                seconds, reports, summaries);
    EXPECT_LE(reports, int(20 * (seconds + 2))) << "20 report lines a second at most";
    EXPECT_GE(summaries, 1);
    EXPECT_LE(std::filesystem::file_size(coild.logPath), 4096u);
    EXPECT_LE(std::filesystem::file_size(coild.logPath + ".1"), 4096u);
}

// A UDP port of the loopback address that nothing uses right now.
int freeUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof addr;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), size) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) == 0;
    ::close(fd);
    return bound ? ntohs(addr.sin_port) : -1;
}

TEST(SnmpTrap, LoopReachesSnmptrapdAsAnSnmpV2cNotification) {
    const std::string snmptrapd = coiltest::findProgram("snmptrapd");
    if (snmptrapd.empty()) GTEST_SKIP() << "snmptrapd is not installed";
    coiltest::CoildProcess coild;
    const std::string conf = coild.base + "/snmptrapd.conf", traps = coild.base + "/traps.log";
    std::ofstream(conf) << "disableAuthorization yes\n";
    const int port = freeUdpPort();
    ASSERT_GT(port, 0);
    // Numeric OIDs, no MIB files, and its persistent state in our directory.
    ::setenv("SNMP_PERSISTENT_DIR", coild.base.c_str(), 1);
    const coiltest::Reaper receiver{
        coiltest::spawnProgram({snmptrapd, "-f", "-n", "-C", "-c", conf, "-Lf", traps, "-On", "-M", coild.base, "-m",
                                "", "udp:127.0.0.1:" + std::to_string(port)},
                               coild.base + "/snmptrapd.out", coild.base + "/snmptrapd.err")};
    ::unsetenv("SNMP_PERSISTENT_DIR");
    ASSERT_TRUE(coiltest::within(10, [&] { return coiltest::readFile(traps).find("NET-SNMP version") != std::string::npos; }))
        << coiltest::readFile(coild.base + "/snmptrapd.err");
    ASSERT_TRUE(coild.start("", {"--trap-sink", "127.0.0.1:" + std::to_string(port)})) << coild.errors();
    EXPECT_EQ(coild.ctl({"enable"}).status, 0);
    EXPECT_EQ(coild.ctl({"configure", "blue", "interval", "1", "action", "log-trap"}).status, 0);
    EXPECT_EQ(coild.ctl({"lab", "cable", "1:1", "1:2"}).status, 0);
    ASSERT_TRUE(coiltest::within(20, [&] {
        return coiltest::readFile(traps).find(".1.3.6.1.4.1.32473.7446.1.1 = STRING: \"blue\"") != std::string::npos;
    })) << coiltest::readFile(traps) << coild.log();
    const std::string log = coiltest::readFile(traps);
    // The notification's own OID, after sysUpTime, and the trap logged too.
    EXPECT_NE(log.find(".1.3.6.1.6.3.1.1.4.1.0 = OID: .1.3.6.1.4.1.32473.7446.0.1"), std::string::npos) << log;
    EXPECT_NE(log.find(".1.3.6.1.2.1.1.3.0 = Timeticks:"), std::string::npos) << log;
    EXPECT_NE(coild.log().find("snmp.Trap: brambleCoilVlanLoopDetected vlan \"blue\""), std::string::npos);
}

}  // namespace
