// Capture files: the bytes of a classic pcap file for frames crossing
// captured ports.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "fdb_client.h"
#include "kypkt.h"
#include "mira/core/loop.h"
#include "mira/sim/pcap.h"
#include "mira/sim/switch.h"
#include "support/topology.h"

namespace {

using mira::portWord;

// A tagged frame to an address whose forwarding entry takes it to the CPU.
std::vector<uint8_t> pdu() {
    std::vector<uint8_t> f(62, 0x5a);
    const uint8_t head[16] = {0x03, 0x00, 0x00, 0xc0, 0x11, 0x01, 0x02, 0x00, 0x00, 0xc0, 0x11, 0x01, 0x81, 0x00, 0xe0, 0x64};
    std::memcpy(f.data(), head, sizeof head);
    return f;
}

std::vector<uint8_t> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class PcapTest : public ::testing::Test {
protected:
    // Names of this process only: test runs of other builds share /tmp.
    std::string dir = ::testing::TempDir() + "coil-" + std::to_string(::getpid()) + "-";
    int fd = -1;

    void SetUp() override {
        coiltest::loadSwitch("chassis mac 02:00:00:c0:11:01 slots 1 ports 4\n"
                             "vlan blue instance 5 tag 100 ports 1:1-1:4\n"
                             "cable 1:1 1:2\n");
        fd = openKypkt();
        ASSERT_GE(fd, 0);
        // Frames to this address go to the CPU rather than flood round the cable.
        const uint8_t da[6] = {0x03, 0x00, 0x00, 0xc0, 0x11, 0x01};
        fdbKey_t key{0, 0, 5, 100};
        ASSERT_EQ(fdb_client_Mac_Add(3, &key, da, 18, 0, 0), 0);
    }

    void sendOut(uint32_t port, const std::vector<uint8_t>& f) {
        ASSERT_EQ(sendKypkt(fd, f.data(), uint32_t(f.size()), KYPKT_TO_PORT, 0, 5, 1, &port, -1), int(f.size()));
    }
};

TEST_F(PcapTest, FileHoldsHeaderThenOneRecordPerCapturedCrossing) {
    const std::string one = dir + "mira_switch_one.pcap";
    const std::string all = dir + "mira_switch_all.pcap";
    std::string error;
    ASSERT_TRUE(mira::startCapture(one, {portWord(1, 1)}, &error)) << error;

    mira::advance(1'234'567);
    const int64_t sentAt = mira::wallUsec();
    const auto f = pdu();
    sendOut(portWord(1, 1), f);
    mira::drain();  // it enters 1:2, which is not captured
    mira::stopCapture();

    const std::vector<uint8_t> bytes = fileBytes(one);
    ASSERT_EQ(bytes.size(), 24u + 16u + 62u);
    const uint8_t header[24] = {0xd4, 0xc3, 0xb2, 0xa1, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                0xff, 0xff, 0, 0, 1, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(bytes.data(), header, 24));
    // The record: seconds, microseconds, captured and original length (little-endian), the frame.
    std::vector<uint8_t> record;
    for (uint32_t word : {uint32_t(sentAt / 1000000), uint32_t(sentAt % 1000000), 62u, 62u})
        for (int i = 0; i < 4; ++i) record.push_back(uint8_t(word >> 8 * i));
    record.insert(record.end(), f.begin(), f.end());
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 24, bytes.end()), record);

    // Every port: the frame leaving 1:2 and entering 1:1; nothing after stop.
    ASSERT_TRUE(mira::startCapture(all, {}, &error)) << error;
    sendOut(portWord(1, 2), f);
    mira::drain();
    mira::stopCapture();
    sendOut(portWord(1, 2), f);
    mira::drain();
    EXPECT_EQ(fileBytes(all).size(), 24u + 2 * (16u + 62u));

    EXPECT_FALSE(mira::startCapture(dir + "no/such/dir/x.pcap", {}, &error));
    EXPECT_FALSE(mira::startCapture(all, {portWord(2, 1)}, &error));
    EXPECT_EQ(error, "unknown port 2:1 (slots are 1..1)");
    EXPECT_FALSE(mira::captureRunning());
    std::remove(one.c_str());
    std::remove(all.c_str());
}

}  // namespace
