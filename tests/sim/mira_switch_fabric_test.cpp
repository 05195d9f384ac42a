// Frames through the simulated switch: from a packet descriptor out of a
// port, across a cable or hub as a later loop event, into a port, and to the
// CPU queue when a forwarding entry and a filter take them; and the classic
// pcap file of the frames crossing captured ports.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include "fdb_client.h"
#include "kypkt.h"
#include "mira/core/loop.h"
#include "mira/sim/pcap.h"
#include "mira/sim/switch.h"
#include "support/topology.h"
#include "vlanlib.h"

namespace {

using mira::portWord;

const uint8_t kDa[6] = {0x03, 0x00, 0x00, 0xc0, 0x11, 0x01};
const uint8_t kOther[6] = {0x03, 0x00, 0x00, 0xc0, 0x11, 0x99};

// A tagged frame (priority 7) to da from the chassis address, padded with 0x5a.
std::vector<uint8_t> frame(uint16_t tag, const uint8_t* da = kDa, size_t length = 62) {
    std::vector<uint8_t> f(length, 0x5a);
    const uint8_t rest[10] = {0x02, 0x00, 0x00, 0xc0, 0x11, 0x01, 0x81, 0x00, uint8_t(0xe0 | tag >> 8), uint8_t(tag)};
    std::memcpy(f.data(), da, 6);
    std::memcpy(f.data() + 6, rest, sizeof rest);
    return f;
}

class FabricTest : public ::testing::Test {
protected:
    int fd = -1;
    uint32_t blueFilter = 0;
    std::vector<uint8_t> lastBytes;  // of the last frame read

    void SetUp() override {
        coiltest::loadSwitch("chassis mac 02:00:00:c0:11:01 slots 2 first 1 ports 8\n"
                             "trunk 3:1 members 2:7,2:8\n"
                             "vlan blue instance 5 tag 100 ports 1:1-1:4,3:1\n"
                             "vlan red  instance 6 tag 200 ports 1:5,1:6\n");
        fd = openKypkt();
        ASSERT_GE(fd, 0);
        blueFilter = attach(100);
        attach(200);
        cpuEntry(5, 100, true);
        cpuEntry(6, 200, true);
    }

    uint32_t attach(uint16_t tag) {
        kypktFilterSpec_t spec{};
        for (auto& word : spec.words) word[3] = 1;
        spec.words[2][3] = spec.words[5][3] = 0;
        spec.tag[0] = uint8_t(tag >> 8), spec.tag[1] = uint8_t(tag);
        spec.addrLength = 6;
        std::memcpy(spec.addr, kDa, 6);
        EXPECT_EQ(attachKypktFilter(fd, &spec), 0);
        EXPECT_NE(spec.filterId, 0u);
        return spec.filterId;
    }

    static void cpuEntry(uint32_t instance, uint16_t tag, bool add) {
        fdbKey_t key{0, 0, instance, tag};
        EXPECT_EQ(add ? fdb_client_Mac_Add(3, &key, kDa, 18, 0, 0) : fdb_client_Mac_Delete(3, &key, kDa, 0), 0);
    }

    int send(const std::vector<uint8_t>& f, uint32_t vlanIfInstance, uint32_t port, int kind = KYPKT_TO_PORT) {
        return sendKypkt(fd, f.data(), uint32_t(f.size()), kind, 0, vlanIfInstance, 1, &port, -1);
    }

    bool readable() const {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
    }

    // Each frame the CPU queue holds: "length/scratch vlan:instance filter
    // in:pif lif:lif" (filter "blue" for blue's), read at most 64 bytes.
    std::vector<std::string> readAll() {
        std::vector<std::string> out;
        uint8_t buf[2048];
        uint32_t scratch, instance, rxInfo;
        uint16_t pif[2], lif[2];
        for (int n; (n = recvKypkt(fd, buf, 64, &scratch, &instance, &rxInfo, pif, lif, 0, 0)) >= 0;) {
            lastBytes.assign(buf, buf + n);
            out.push_back(std::to_string(n) + "/" + std::to_string(scratch) + " vlan:" + std::to_string(instance) +
                          (rxInfo == blueFilter ? " blue" : " filter" + std::to_string(rxInfo)) +
                          " in:" + mira::portText(portWord(pif[0], pif[1])) +
                          " lif:" + mira::portText(portWord(lif[0], lif[1])));
        }
        EXPECT_EQ(errno, EAGAIN);
        EXPECT_FALSE(readable());
        return out;
    }

    // Sends a blue frame out of a port, lets it cross, and reads the CPU queue.
    std::vector<std::string> deliver(uint32_t port, const std::vector<uint8_t>& f = frame(100)) {
        EXPECT_EQ(send(f, 5, port), int(f.size()));
        mira::drain();
        return readAll();
    }
    using Seen = std::vector<std::string>;
};

TEST_F(FabricTest, CableCarriesAFrameToTheCpuAsALaterEvent) {
    ASSERT_TRUE(mira::cablePorts(portWord(1, 1), portWord(1, 2)));
    const auto f = frame(100);
    ASSERT_EQ(send(f, 5, portWord(1, 1)), 62);
    EXPECT_FALSE(readable());  // nothing within the send call
    EXPECT_TRUE(readAll().empty());

    mira::drain();
    ASSERT_TRUE(readable());
    EXPECT_EQ(readAll(), Seen{"62/62 vlan:5 blue in:1:2 lif:1:2"});
    EXPECT_EQ(lastBytes, f);

    // A longer frame is cut to the reader's maximum; the scratch word keeps its length.
    EXPECT_EQ(deliver(portWord(1, 2), frame(100, kDa, 100)), Seen{"64/100 vlan:5 blue in:1:1 lif:1:1"});
}

TEST_F(FabricTest, APeekShowsQueuedFramesInReadOrderAndTakesNone) {
    const auto blue = frame(100, kDa, 62), red = frame(200, kDa, 70);
    mira::injectFrame(portWord(1, 2), blue.data(), blue.size());
    mira::injectFrame(portWord(1, 5), red.data(), red.size());
    kypktQueued_t seen[3];
    ASSERT_EQ(peekKypkt(fd, seen, 3), 2);
    EXPECT_EQ(std::vector<uint8_t>(seen[0].frame, seen[0].frame + seen[0].length), blue);
    EXPECT_EQ(seen[0].vlanIfInstance, 5u);
    EXPECT_EQ(std::vector<uint8_t>(seen[1].frame, seen[1].frame + seen[1].length), red);
    EXPECT_EQ(seen[1].vlanIfInstance, 6u);
    EXPECT_EQ(peekKypkt(fd, seen, 1), 1);
    EXPECT_EQ(peekKypkt(fd + 100, seen, 3), 0);
    EXPECT_EQ(readAll(), (Seen{"62/62 vlan:5 blue in:1:2 lif:1:2", "64/70 vlan:6 filter" + std::to_string(blueFilter + 1) +
                                                                     " in:1:5 lif:1:5"}));
    EXPECT_EQ(peekKypkt(fd, seen, 3), 0);
}

// What a peek found for the frame it showed answers the VLAN library's
// questions about that frame after the read, but not once its port left
// the VLAN in between.
TEST_F(FabricTest, APeekedFramesRecordsDoNotOutliveItsPortsMembership) {
    const auto blue = frame(100);
    mira::injectFrame(portWord(1, 2), blue.data(), blue.size());
    kypktQueued_t seen[1];
    ASSERT_EQ(peekKypkt(fd, seen, 1), 1);
    ASSERT_TRUE(mira::removeVlanPort("blue", portWord(1, 2)));
    ASSERT_EQ(readAll().size(), 1u);
    vlanIf_t* vlan = nullptr;
    lif_t* lif = nullptr;
    ASSERT_EQ(vlanLibGetVlanIfByInstance(5, &vlan), 1);
    ASSERT_EQ(vlanLibGetLifBySlotPort(1, 2, &lif), 1);
    ASSERT_NE(lif, nullptr);
    EXPECT_EQ(vlanLibGetVpifByVlanSlotPort(vlan, lif), nullptr);
}

TEST_F(FabricTest, EnteringFramesAreDroppedWhereTheSwitchWouldDropThem) {
    ASSERT_TRUE(mira::cablePorts(portWord(1, 1), portWord(1, 2)));
    const mira::FabricStats before = mira::fabricStats();
    auto untagged = frame(100);
    untagged[12] = 0x08;

    ASSERT_TRUE(mira::setPortEnabled(portWord(1, 2), false));  // disabled ingress
    EXPECT_TRUE(deliver(portWord(1, 1)).empty());
    ASSERT_TRUE(mira::setPortEnabled(portWord(1, 2), true));
    ASSERT_TRUE(mira::setPortBlocked("blue", portWord(1, 2), true));  // blocked ingress
    EXPECT_TRUE(deliver(portWord(1, 1)).empty());
    ASSERT_TRUE(mira::setPortBlocked("blue", portWord(1, 2), false));
    EXPECT_TRUE(deliver(portWord(1, 1), frame(200)).empty());        // 1:2 is not in red
    EXPECT_TRUE(deliver(portWord(1, 1), frame(100, kOther)).empty());  // no CPU entry: flooded, not delivered
    EXPECT_TRUE(deliver(portWord(1, 1), frame(300)).empty());        // no such tag
    EXPECT_TRUE(deliver(portWord(1, 1), untagged).empty());
    cpuEntry(5, 100, false);  // entry gone: the PDU floods instead
    EXPECT_TRUE(deliver(portWord(1, 1)).empty());
    cpuEntry(5, 100, true);
    ASSERT_EQ(detachKypktFilter(fd, blueFilter), 0);  // entry but no filter
    EXPECT_TRUE(deliver(portWord(1, 1)).empty());

    const mira::FabricStats& after = mira::fabricStats();
    EXPECT_EQ(after.dropRxDisabled - before.dropRxDisabled, 1u);
    EXPECT_EQ(after.dropBlocked - before.dropBlocked, 1u);
    EXPECT_EQ(after.dropNotMember - before.dropNotMember, 1u);
    EXPECT_EQ(after.dropUnknownVlan - before.dropUnknownVlan, 1u);
    EXPECT_EQ(after.dropUntagged - before.dropUntagged, 1u);
    EXPECT_EQ(after.dropNoFilter - before.dropNoFilter, 1u);
    EXPECT_EQ(after.toCpu, before.toCpu);
    EXPECT_GT(after.flooded, before.flooded);

    blueFilter = attach(100);  // attached again, it is delivered again
    EXPECT_EQ(deliver(portWord(1, 1)).size(), 1u);
}

TEST_F(FabricTest, TrunkMembersEnterAsTheTrunkAndTheTrunkSendsByItsActiveMember) {
    ASSERT_TRUE(mira::cablePorts(portWord(1, 4), portWord(2, 8)));
    EXPECT_EQ(deliver(portWord(1, 4)), Seen{"62/62 vlan:5 blue in:2:8 lif:3:1"});
    // To the trunk: out of 2:8, the member with link, so it enters 1:4.
    EXPECT_EQ(deliver(portWord(3, 1)), Seen{"62/62 vlan:5 blue in:1:4 lif:1:4"});
    // Naming a member sends by that member, whatever is active.
    ASSERT_TRUE(mira::cablePorts(portWord(2, 7), portWord(1, 3)));
    EXPECT_EQ(deliver(portWord(2, 7)), Seen{"62/62 vlan:5 blue in:1:3 lif:1:3"});

    // No enabled member: accepted, nothing leaves.
    ASSERT_TRUE(mira::setPortEnabled(portWord(3, 1), false));
    const uint64_t transmitted = mira::fabricStats().transmitted;
    EXPECT_TRUE(deliver(portWord(3, 1)).empty());
    EXPECT_EQ(mira::fabricStats().transmitted, transmitted);
}

TEST_F(FabricTest, AHubCarriesToEveryOtherPortAndALoopedFloodEndsAtTheHopLimit) {
    for (uint32_t p : {portWord(1, 1), portWord(1, 2), portWord(1, 3)}) ASSERT_TRUE(mira::joinHub("h", p));
    EXPECT_EQ(deliver(portWord(1, 1)), (Seen{"62/62 vlan:5 blue in:1:2 lif:1:2", "62/62 vlan:5 blue in:1:3 lif:1:3"}));

    // Red's two ports cabled together: a flood goes round, one more
    // transmission each hop, until the 16th hop drops it.
    ASSERT_TRUE(mira::cablePorts(portWord(1, 5), portWord(1, 6)));
    const mira::FabricStats before = mira::fabricStats();
    ASSERT_EQ(send(frame(200, kOther), 6, portWord(1, 5)), 62);
    mira::advanceSeconds(1);
    const mira::FabricStats& after = mira::fabricStats();
    EXPECT_EQ(after.transmitted - before.transmitted, 17u) << "the send and 16 floods";
    EXPECT_EQ(after.dropHopLimit - before.dropHopLimit, 1u);
}

TEST_F(FabricTest, BadSendsFailWithErrno) {
    const auto f = frame(100);
    uint32_t port = portWord(1, 1);
    uint8_t buf[64];
    const struct {
        const char* what;
        std::function<int()> call;
        int error;
    } cases[] = {
        {"unknown descriptor", [&] { return sendKypkt(fd + 100, f.data(), 62, 2, 0, 5, 1, &port, -1); }, EBADF},
        {"unknown port", [&] { return send(f, 5, portWord(1, 9)); }, ENODEV},
        {"unknown VLAN", [&] { return send(f, 99, portWord(1, 1)); }, ENXIO},
        {"unknown kind", [&] { return send(f, 5, portWord(1, 1), 3); }, EINVAL},
        {"shorter than a header", [&] { return sendKypkt(fd, f.data(), 10, 2, 0, 5, 1, &port, -1); }, EINVAL},
        {"unknown filter", [&] { return detachKypktFilter(fd, 12345); }, ENOENT},
        {"receive on an unknown descriptor",
         [&] { return recvKypkt(fd + 100, buf, 64, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0); }, EBADF},
    };
    for (const auto& c : cases) {
        errno = 0;
        EXPECT_EQ(c.call(), -1) << c.what;
        EXPECT_EQ(errno, c.error) << c.what;
    }
    EXPECT_EQ(mira::fabricStats().cpuSent, 0u);
}

std::vector<uint8_t> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST_F(FabricTest, CaptureFileHoldsHeaderThenOneRecordPerCapturedCrossing) {
    // Names of this process only: test runs of other builds share /tmp.
    const std::string one = ::testing::TempDir() + "coil-" + std::to_string(::getpid()) + "-one.pcap";
    const std::string all = ::testing::TempDir() + "coil-" + std::to_string(::getpid()) + "-all.pcap";
    std::string error;
    ASSERT_TRUE(mira::cablePorts(portWord(1, 1), portWord(1, 2)));
    ASSERT_TRUE(mira::startCapture(one, {portWord(1, 1)}, &error)) << error;
    mira::advance(1'234'567);
    const int64_t sentAt = mira::wallUsec();
    const auto f = frame(100);
    EXPECT_EQ(deliver(portWord(1, 1), f).size(), 1u);  // it enters 1:2, which is not captured
    mira::stopCapture();

    // The header, then the record: seconds, microseconds, captured and
    // original length (little-endian), the frame.
    std::vector<uint8_t> file = {0xd4, 0xc3, 0xb2, 0xa1, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 1, 0, 0, 0};
    for (uint32_t word : {uint32_t(sentAt / 1000000), uint32_t(sentAt % 1000000), 62u, 62u})
        for (int i = 0; i < 4; ++i) file.push_back(uint8_t(word >> 8 * i));
    file.insert(file.end(), f.begin(), f.end());
    EXPECT_EQ(fileBytes(one), file);

    // Every port: the frame leaving 1:2 and entering 1:1; nothing after stop.
    ASSERT_TRUE(mira::startCapture(all, {}, &error)) << error;
    deliver(portWord(1, 2));
    mira::stopCapture();
    deliver(portWord(1, 2));
    EXPECT_EQ(fileBytes(all).size(), 24u + 2 * (16u + 62u));

    EXPECT_FALSE(mira::startCapture(::testing::TempDir() + "no/such/dir/x.pcap", {}, &error));
    EXPECT_FALSE(mira::startCapture(all, {portWord(9, 1)}, &error));
    EXPECT_EQ(error, "unknown port 9:1 (slots are 1..2)");
    EXPECT_FALSE(mira::captureRunning());
    std::remove(one.c_str());
    std::remove(all.c_str());
}

}  // namespace
