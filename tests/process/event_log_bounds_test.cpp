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

int countOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) n++;
    return n;
}

TEST(EventLogBounds, ReportsOfManyLoopingVlansAreRateLimitedAndTheFileRotated) {
    constexpr int kVlans = 200;
    std::string topology = "chassis mac 02:00:00:c0:11:01 slots 1 first 1 ports 8\ncable 1:1 1:2\n";
    for (int v = 1; v <= kVlans; v++)
        topology += "vlan v" + std::to_string(v) + " instance " + std::to_string(v) + " tag " + std::to_string(v) +
                    " ports 1:1-1:2\n";
    coiltest::CoildProcess coild;
    ASSERT_TRUE(coild.start(topology, {"--log-max", "4096"})) << coild.errors();
    ASSERT_EQ(coild.ctl({"enable"}).status, 0);
    // Every VLAN probed each second, every loop reported to the log.
    std::string error;
    for (int v = 1; v <= kVlans; v++) {
        mira::control::Message set, reply;
        set.add("method", "set").add("object", "coilServiceNode");
        for (const std::string& attr : {std::string("clientIdentifier=1"), "vlanIfInstance=" + std::to_string(v),
                                        "vlan=v" + std::to_string(v), std::string("rowStatus=createAndGo"),
                                        std::string("interval=1"), std::string("action=2")})
            set.add("attr", attr);
        ASSERT_TRUE(coild.request(1, set, &reply, &error)) << error;
        ASSERT_EQ(reply.get("result"), "1") << reply.get("message");
    }
    const auto began = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(4));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const std::string log = coild.log() + coiltest::readFile(coild.logPath + ".1");
    EXPECT_EQ(coild.terminate(), 0);

    const int reports = countOf(log, "COIL.Report.Message: ");
    const int summaries = countOf(log, " reports suppressed");
    std::printf("[ figures  ] %d looping VLANs, %.1f s: %d report lines, %d suppressed-count lines kept\n", kVlans,
                seconds, reports, summaries);
    EXPECT_LE(reports, int(20 * (seconds + 2))) << "20 report lines a second at most";
    EXPECT_GE(summaries, 1);
    EXPECT_LE(std::filesystem::file_size(coild.logPath), 4096u);
    EXPECT_LE(std::filesystem::file_size(coild.logPath + ".1"), 4096u);
}

}  // namespace
