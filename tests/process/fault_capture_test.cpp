// A capture into a FIFO, as coild runs: a FIFO nobody reads is refused at
// once instead of blocking the daemon in open(), and a reader that leaves
// ends the capture with a log line instead of ending coild with SIGPIPE.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/coild_process.h"

namespace {

const char* const kLoopChassis =
    "chassis mac 02:00:00:c0:11:01 slots 2 first 1 ports 8\n"
    "vlan blue instance 100 tag 100 ports 1:1-1:4\n"
    "cable 1:1 1:2\n";

TEST(CaptureFaults, AFifoNeitherBlocksNorEndsCoild) {
    coiltest::CoildProcess coild;
    ASSERT_TRUE(coild.start(kLoopChassis)) << coild.errors();
    const std::string fifo = coild.base + "/frames.pcap";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    const coiltest::Outcome unread = coild.ctl({"lab", "capture", fifo});
    EXPECT_NE(unread.status, 0);
    EXPECT_NE(unread.err.find("a pipe that nobody reads"), std::string::npos) << unread.err;

    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const coiltest::Outcome started = coild.ctl({"lab", "capture", fifo});
    ASSERT_EQ(started.status, 0) << started.err;
    ::close(reader);
    // Probes every second: the next frame meets a pipe without a reader.
    EXPECT_EQ(coild.ctl({"enable"}).status, 0);
    EXPECT_EQ(coild.ctl({"configure", "blue", "interval", "1", "action", "report"}).status, 0);
    EXPECT_TRUE(coiltest::within(5, [&] {
        return coild.log().find("WARNING capture: capture to " + fifo + " stopped") != std::string::npos;
    })) << coild.log();
    EXPECT_EQ(coild.ctl({"show"}).status, 0);
    EXPECT_EQ(coild.terminate(), 0);
}

}  // namespace
