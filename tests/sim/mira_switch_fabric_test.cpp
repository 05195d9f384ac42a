// Frames through the simulated switch: from a packet descriptor out of a
// port, across a cable or hub as a later loop event, into a port, and to the
// CPU queue when a forwarding entry and a filter take them.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/reset.h"
#include "fdb_client.h"
#include "kypkt.h"
#include "mira/core/loop.h"
#include "mira/core/platform.h"
#include "mira/sim/switch.h"
#include "mira/sim/topology.h"

namespace {

using mira::portWord;

const uint8_t kDa[6] = {0x03, 0x00, 0x00, 0xc0, 0x11, 0x01};
const uint8_t kOther[6] = {0x03, 0x00, 0x00, 0xc0, 0x11, 0x99};

std::vector<uint8_t> frame(uint16_t tag, const uint8_t* da = kDa, size_t length = 62, uint8_t mark = 0x5a) {
    std::vector<uint8_t> f(length, mark);
    std::memcpy(f.data(), da, 6);
    const uint8_t sa[6] = {0x02, 0x00, 0x00, 0xc0, 0x11, 0x01};
    std::memcpy(f.data() + 6, sa, 6);
    f[12] = 0x81;
    f[13] = 0x00;
    f[14] = uint8_t(0xe0 | tag >> 8);
    f[15] = uint8_t(tag);
    return f;
}

struct Received {
    int length;
    uint32_t scratch, vlanIfInstance, rxInfo;
    uint32_t inPif, inLif;  // as port words
    std::vector<uint8_t> bytes;
};

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

std::vector<Received> readAll(int fd, uint32_t maxLength = 64) {
    std::vector<Received> out;
    for (;;) {
        Received r{};
        uint8_t buf[2048];
        uint16_t pif[2], lif[2];
        r.length = recvKypkt(fd, buf, maxLength, &r.scratch, &r.vlanIfInstance, &r.rxInfo, pif, lif, 0, 0);
        if (r.length < 0) {
            EXPECT_EQ(errno, EAGAIN);
            break;
        }
        r.inPif = portWord(pif[0], pif[1]);
        r.inLif = portWord(lif[0], lif[1]);
        r.bytes.assign(buf, buf + r.length);
        out.push_back(r);
    }
    EXPECT_FALSE(readable(fd));
    return out;
}

class FabricTest : public ::testing::Test {
protected:
    int fd = -1;
    uint32_t blueFilter = 0;

    void SetUp() override {
        mira::useVirtualTime();
        coiltest::resetDaemonAndPlatform();
        std::string error;
        ASSERT_TRUE(mira::loadTopology("chassis mac 02:00:00:c0:11:01 slots 2 first 1 ports 8\n"
                                       "trunk 3:1 members 2:7,2:8\n"
                                       "vlan blue instance 5 tag 100 ports 1:1-1:4,3:1\n"
                                       "vlan red  instance 6 tag 200 ports 1:5,1:6\n",
                                       "t.topo", &error))
            << error;
        fd = openKypkt();
        ASSERT_GE(fd, 0);
        blueFilter = attach(fd, 100, kDa);
        attach(fd, 200, kDa);
        cpuEntry(5, 100, true);
        cpuEntry(6, 200, true);
    }

    static uint32_t attach(int on, uint16_t tag, const uint8_t* addr) {
        kypktFilterSpec_t spec{};
        for (auto& word : spec.words) word[3] = 1;
        spec.words[2][3] = spec.words[5][3] = 0;
        spec.tag[0] = uint8_t(tag >> 8), spec.tag[1] = uint8_t(tag);
        spec.addrLength = 6;
        std::memcpy(spec.addr, addr, 6);
        EXPECT_EQ(attachKypktFilter(on, &spec), 0);
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
};

TEST_F(FabricTest, CableCarriesAFrameToTheCpuAsALaterEvent) {
    ASSERT_TRUE(mira::cablePorts(portWord(1, 1), portWord(1, 2)));
    const auto f = frame(100);
    ASSERT_EQ(send(f, 5, portWord(1, 1)), 62);

    // Nothing within the send call.
    EXPECT_FALSE(readable(fd));
    EXPECT_TRUE(readAll(fd).empty());

    mira::drain();
    ASSERT_TRUE(readable(fd));
    auto got = readAll(fd);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].length, 62);
    EXPECT_EQ(got[0].scratch, 62u);
    EXPECT_EQ(got[0].vlanIfInstance, 5u);
    EXPECT_EQ(got[0].rxInfo, blueFilter);
    EXPECT_EQ(got[0].inPif, portWord(1, 2));
    EXPECT_EQ(got[0].inLif, portWord(1, 2));
    EXPECT_EQ(got[0].bytes, f);

    // A longer frame is cut to the reader's maximum; the scratch word keeps its length.
    ASSERT_EQ(send(frame(100, kDa, 100), 5, portWord(1, 2)), 100);
    mira::drain();
    got = readAll(fd);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].length, 64);
    EXPECT_EQ(got[0].scratch, 100u);
    EXPECT_EQ(got[0].inPif, portWord(1, 1));
}

TEST_F(FabricTest, EnteringFramesAreDroppedWhereTheSwitchWouldDropThem) {
    ASSERT_TRUE(mira::cablePorts(portWord(1, 1), portWord(1, 2)));
    const mira::FabricStats before = mira::fabricStats();

    ASSERT_TRUE(mira::setPortEnabled(portWord(1, 2), false));  // disabled ingress
    ASSERT_EQ(send(frame(100), 5, portWord(1, 1)), 62);
    mira::drain();
    ASSERT_TRUE(mira::setPortEnabled(portWord(1, 2), true));

    ASSERT_TRUE(mira::setPortBlocked("blue", portWord(1, 2), true));  // blocked ingress
    ASSERT_EQ(send(frame(100), 5, portWord(1, 1)), 62);
    mira::drain();
    ASSERT_TRUE(mira::setPortBlocked("blue", portWord(1, 2), false));

    ASSERT_EQ(send(frame(200), 5, portWord(1, 1)), 62);  // 1:2 is not in red
    ASSERT_EQ(send(frame(100, kOther), 5, portWord(1, 1)), 62);  // no CPU entry: flooded, not delivered
    ASSERT_EQ(send(frame(300), 5, portWord(1, 1)), 62);  // no such tag
    auto untagged = frame(100);
    untagged[12] = 0x08;
    ASSERT_EQ(send(untagged, 5, portWord(1, 1)), 62);
    mira::drain();

    cpuEntry(5, 100, false);  // entry gone: the PDU floods instead
    ASSERT_EQ(send(frame(100), 5, portWord(1, 1)), 62);
    mira::drain();
    cpuEntry(5, 100, true);
    ASSERT_EQ(detachKypktFilter(fd, blueFilter), 0);  // entry but no filter
    ASSERT_EQ(send(frame(100), 5, portWord(1, 1)), 62);
    mira::drain();

    EXPECT_TRUE(readAll(fd).empty());
    const mira::FabricStats& after = mira::fabricStats();
    EXPECT_EQ(after.dropRxDisabled - before.dropRxDisabled, 1u);
    EXPECT_EQ(after.dropBlocked - before.dropBlocked, 1u);
    EXPECT_EQ(after.dropNotMember - before.dropNotMember, 1u);
    EXPECT_EQ(after.dropUnknownVlan - before.dropUnknownVlan, 1u);
    EXPECT_EQ(after.dropUntagged - before.dropUntagged, 1u);
    EXPECT_EQ(after.dropNoFilter - before.dropNoFilter, 1u);
    EXPECT_EQ(after.toCpu, before.toCpu);
    EXPECT_GT(after.flooded, before.flooded);

    // Attached again, it is delivered again.
    attach(fd, 100, kDa);
    ASSERT_EQ(send(frame(100), 5, portWord(1, 1)), 62);
    mira::drain();
    EXPECT_EQ(readAll(fd).size(), 1u);
}

TEST_F(FabricTest, TrunkMembersEnterAsTheTrunkAndTheTrunkSendsByItsActiveMember) {
    ASSERT_TRUE(mira::cablePorts(portWord(1, 4), portWord(2, 8)));
    ASSERT_EQ(send(frame(100), 5, portWord(1, 4)), 62);
    mira::drain();
    auto got = readAll(fd);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].inPif, portWord(2, 8));
    EXPECT_EQ(got[0].inLif, portWord(3, 1));

    // To the trunk: out of 2:8, the member with link, so it enters 1:4.
    ASSERT_EQ(send(frame(100), 5, portWord(3, 1)), 62);
    mira::drain();
    got = readAll(fd);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].inPif, portWord(1, 4));

    // Naming a member sends by that member, whatever is active.
    ASSERT_TRUE(mira::cablePorts(portWord(2, 7), portWord(1, 3)));
    ASSERT_EQ(send(frame(100), 5, portWord(2, 7)), 62);
    mira::drain();
    got = readAll(fd);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].inPif, portWord(1, 3));

    // No enabled member: accepted, nothing leaves.
    ASSERT_TRUE(mira::setPortEnabled(portWord(3, 1), false));
    const uint64_t transmitted = mira::fabricStats().transmitted;
    ASSERT_EQ(send(frame(100), 5, portWord(3, 1)), 62);
    mira::drain();
    EXPECT_TRUE(readAll(fd).empty());
    EXPECT_EQ(mira::fabricStats().transmitted, transmitted);
}

TEST_F(FabricTest, BadSendsFailWithErrno) {
    const auto f = frame(100);
    uint32_t port = portWord(1, 1);
    errno = 0;
    EXPECT_LT(sendKypkt(fd + 100, f.data(), 62, 2, 0, 5, 1, &port, -1), 0);
    EXPECT_EQ(errno, EBADF);
    EXPECT_LT(send(f, 5, portWord(1, 9)), 0);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_LT(send(f, 99, portWord(1, 1)), 0);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_LT(send(f, 5, portWord(1, 1), 3), 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_LT(sendKypkt(fd, f.data(), 10, 2, 0, 5, 1, &port, -1), 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_LT(detachKypktFilter(fd, 12345), 0);
    EXPECT_EQ(errno, ENOENT);
    uint8_t buf[64];
    EXPECT_EQ(recvKypkt(fd + 100, buf, 64, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(mira::fabricStats().cpuSent, 0u);
}

}  // namespace
