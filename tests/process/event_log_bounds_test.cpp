// The event log of a coild whose every VLAN loops stays bounded: report
// lines are rate-limited in all (besides each service's 3 seconds), the
// rest counted in a "N reports suppressed" line, and the log file is
// rotated at its cap.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
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

}  // namespace
