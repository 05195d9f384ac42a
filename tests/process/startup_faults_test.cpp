// Start-up of coild on inputs without bounds and in a hostile environment:
// a topology that never ends or holds more than a model may, SIGTERM while
// a large topology loads, a run directory where the message server's
// address cannot be written, and a VLAN name in UTF-8.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/coild_process.h"

namespace {

using coiltest::CoildProcess;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

TEST(StartUp, ATopologyWithoutBoundsIsRefused) {
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
}

TEST(StartUp, SigtermWhileALargeTopologyLoadsEndsCoildCleanly) {
    CoildProcess coild;
    // Every VLAN tag on all 64 ports: the most memberships a model may hold.
    const std::string full = coiltest::vlanChassis("chassis mac 02:00:00:c0:11:01 slots 4 first 1 ports 16\n", 4094,
                                                   "1:1-1:16,2:1-2:16,3:1-3:16,4:1-4:16");
    std::ofstream(coild.base + "/full.topo") << full;
    for (int delayMs : {30, 150}) {
        const pid_t pid = coiltest::spawnProgram({coiltest::buildProgram("coild"), "--run-dir", coild.runDir,
                                                  "--topology", coild.base + "/full.topo"},
                                                 coild.base + "/coild.out", coild.base + "/coild.err");
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

// The message server's address cannot be published (its temporary file is
// taken by a directory, as a full disk would refuse it): coild says so and
// publishes it once it can.
TEST(StartUp, AnAddressThatCannotBePublishedIsRetried) {
    CoildProcess coild;
    ASSERT_EQ(::mkdir(coild.runDir.c_str(), 0700), 0);
    const std::string blocker = coild.runDir + "/coil_server.port.tmp";
    ASSERT_EQ(::mkdir(blocker.c_str(), 0700), 0);
    ASSERT_TRUE(coild.start()) << coild.errors();
    EXPECT_TRUE(coiltest::within(5, [&] {
        return coild.log().find("WARNING ds: cannot publish " + coild.runDir + "/coil_server.port") !=
               std::string::npos;
    })) << coild.log();
    EXPECT_TRUE(coild.messageSocket().empty());
    ASSERT_EQ(::rmdir(blocker.c_str()), 0);
    ASSERT_TRUE(coiltest::within(3, [&] { return !coild.messageSocket().empty(); })) << coild.log();
    const int fd = CoildProcess::connectTo(coild.messageSocket());
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
    EXPECT_EQ(coild.terminate(), 0);
}

TEST(StartUp, AVlanNameInUtf8IsText) {
    CoildProcess coild;
    ASSERT_TRUE(coild.start("chassis mac 02:00:00:c0:11:01 slots 1 first 1 ports 8\n"
                            "vlan gr\xc3\xbcn-\xe7\xb6\xb2 instance 5 tag 100 ports 1:1-1:4\n"))
        << coild.errors();
    ASSERT_EQ(coild.ctl({"enable"}).status, 0);
    const coiltest::Outcome configure = coild.ctl({"configure", "gr\xc3\xbcn-\xe7\xb6\xb2", "interval", "5"});
    EXPECT_EQ(configure.status, 0) << configure.err;
    EXPECT_NE(coild.ctl({"show", "services"}).out.find("gr\xc3\xbcn-\xe7\xb6\xb2"), std::string::npos);
    EXPECT_EQ(coild.terminate(), 0);
}

}  // namespace
