// Where the event log goes beyond the daemon: a log whose every VLAN loops
// stays bounded (report lines rate-limited in all, besides each service's
// 3 seconds, the rest counted in a "N reports suppressed" line, and the file
// rotated at its cap), and the loop trap reaches snmptrapd as a real
// SNMPv2c notification sent through net-snmp (coild --trap-sink).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "support/coild_process.h"

namespace {

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
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    int port = -1;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) == 0)
        port = ntohs(addr.sin_port);
    if (fd >= 0) ::close(fd);
    return port;
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
    const pid_t receiver =
        coiltest::spawnProgram({snmptrapd, "-f", "-n", "-C", "-c", conf, "-Lf", traps, "-On", "-M", coild.base, "-m",
                                "", "udp:127.0.0.1:" + std::to_string(port)},
                               coild.base + "/snmptrapd.out", coild.base + "/snmptrapd.err");
    ::unsetenv("SNMP_PERSISTENT_DIR");
    ASSERT_GT(receiver, 0);
    const bool listening =
        coiltest::within(10, [&] { return coiltest::readFile(traps).find("NET-SNMP version") != std::string::npos; });

    const bool started = listening && coild.start("", {"--trap-sink", "127.0.0.1:" + std::to_string(port)});
    bool received = false;
    if (started) {
        EXPECT_EQ(coild.ctl({"enable"}).status, 0);
        EXPECT_EQ(coild.ctl({"configure", "blue", "interval", "1", "action", "log-trap"}).status, 0);
        EXPECT_EQ(coild.ctl({"lab", "cable", "1:1", "1:2"}).status, 0);
        received = coiltest::within(20, [&] {
            return coiltest::readFile(traps).find(".1.3.6.1.4.1.32473.7446.1.1 = STRING: \"blue\"") != std::string::npos;
        });
    }
    const std::string log = coiltest::readFile(traps);
    ::kill(receiver, SIGTERM);
    coiltest::waitExit(receiver, 5000);
    ASSERT_TRUE(listening) << coiltest::readFile(coild.base + "/snmptrapd.err");
    ASSERT_TRUE(started) << coild.errors();
    ASSERT_TRUE(received) << log << coild.log();
    // The notification's own OID, after sysUpTime, and the trap logged too.
    EXPECT_NE(log.find(".1.3.6.1.6.3.1.1.4.1.0 = OID: .1.3.6.1.4.1.32473.7446.0.1"), std::string::npos) << log;
    EXPECT_NE(log.find(".1.3.6.1.2.1.1.3.0 = Timeticks:"), std::string::npos) << log;
    EXPECT_NE(coild.log().find("snmp.Trap: brambleCoilVlanLoopDetected vlan \"blue\""), std::string::npos);
}

}  // namespace
