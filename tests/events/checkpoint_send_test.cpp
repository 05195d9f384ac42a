// Checkpoints sent by the primary: the bytes of each record and update
// message, the packing of the bulk copy, and when nothing is sent.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "clients/coil_service.h"
#include "events/coil_dm.h"
#include "support/daemon_helpers.h"
#include "support/harness.h"

namespace {

struct Bytes {
    std::vector<uint8_t> v;
    explicit Bytes(size_t n) : v(n, 0) {}
    Bytes& be16(size_t off, uint16_t x) { return v[off] = uint8_t(x >> 8), v[off + 1] = uint8_t(x), *this; }
    Bytes& be32(size_t off, uint32_t x) { return be16(off, uint16_t(x >> 16)).be16(off + 2, uint16_t(x)); }
    Bytes& text(size_t off, const char* s) { return std::memcpy(&v[off], s, std::strlen(s)), *this; }
};

uint32_t be32(const std::vector<uint8_t>& v, size_t off) {
    return uint32_t(v[off]) << 24 | uint32_t(v[off + 1]) << 16 | uint32_t(v[off + 2]) << 8 | v[off + 3];
}

class Send : public ::testing::Test {
  protected:
    void SetUp() override {
        mira::setBackupSink([this](int kind, std::span<const uint8_t> m) {
            EXPECT_EQ(kind, 1);
            sent.emplace_back(m.begin(), m.end());
        });
    }
    void dm(uint32_t nodeState, bool checkpointing) {
        mira::setNodeRole(nodeState);
        mira::setCheckpointing(checkpointing);
        mira::drain();
    }
    coilServiceNode* service(const char* clientId) {  // a client daemon's, left in INIT
        coilServiceNode request{};
        coilCopyText(request.hdr.clientId, sizeof request.hdr.clientId, clientId);
        request.hdr.vlanIfInstance = 100;
        EXPECT_EQ(createCoilServiceNode(&request), 0);
        return findCoilServiceNode(clientId, 100);
    }
    std::vector<size_t> lengths() const {
        std::vector<size_t> out;
        for (const auto& s : sent) out.push_back(s.size());
        return out;
    }

    coiltest::Harness h;
    std::vector<std::vector<uint8_t>> sent;
};

TEST_F(Send, UpdatesAreTheRecordThenAnEndRecordOfItsLength) {
    coilServiceNode sr{};
    sr.hdr = {"ospf-7", 0x0a0b0c0d, 1, {}, 0x11121314, 0x21222324, 0x31323334, 0x41424344};
    sr.serviceStats.txpkts = 0x51525354;
    sr.serviceStats.rxpkts = 0x61626364;
    sr.serviceStats.stateTime = 0x71727374;
    sr.serviceStats.pollCount = 0x81828384;
    sr.serviceStats.detectCount = 0x91929394;
    sr.serviceStats.statusFlag = 1;
    std::strcpy(sr.serviceStats.statusString, "# LOOP DETECTED #");
    sr.state = COIL_STATE_LOOP_DETECTION;
    sr.prevState = COIL_STATE_INIT;
    sr.serviceId = 0xa1a2a3a4;
    sr.target.inPif = {2, 7};
    sr.target.inLif = {3, 1};
    sr.target.txVlanId = 0xb1b2b3b4;
    sr.target.txPortId = 0x00010005;
    coilPortControl pc{nullptr, nullptr, {3, 1}, {1, 6}, 0xc8c9, 0x00010002, 0x12345678, &sr, 1'780'000'123, 0};

    dm(DM_NODE_STATE_PRIMARY, true);
    coil_dm_Checkpoint_Service(&sr, 2);  // a service record always says 1
    coil_dm_Checkpoint_PortControl(&pc, 2);
    ASSERT_EQ(lengths(), (std::vector<size_t>{752, 168}));

    Bytes service(752);
    service.be32(0, 0x02010178).text(4, "ospf-7").be32(36, 0x0a0b0c0d).be32(40, 0x01000000);
    service.be32(44, 0x11121314).be32(48, 0x21222324).be32(52, 0x31323334).be32(56, 0x41424344);
    service.be32(60, 0x51525354).be32(64, 0x61626364).be32(76, 0x71727374).be32(84, 0x81828384);
    service.be32(88, 0x91929394).be32(92, 1).text(96, "# LOOP DETECTED #").be32(352, 0x02010000);
    service.be32(356, 0xa1a2a3a4).be32(360, 0x00020007).be32(364, 0x00030001).be32(368, 0xb1b2b3b4);
    service.be32(372, 0x00010005).be32(376, 0x04000178);
    EXPECT_EQ(sent[0], service.v);

    Bytes port(168);
    port.be32(0, 0x03020054).be32(4, 0x00030001).be32(8, 0x00010006).be32(12, 0xc8c9).be32(16, 0x00010002);
    port.be32(20, 0x12345678).be32(80, 1'780'000'123).be32(84, 0x04000054);
    std::copy(service.v.begin() + 4, service.v.begin() + 60, port.v.begin() + 24);  // the service's header
    EXPECT_EQ(sent[1], port.v);
}

TEST_F(Send, NothingLeavesWithCheckpointingOffOrOffThePrimary) {
    coilServiceNode* sr = service("ospf");
    coilPortControl* pc = coilPortControlCreate(sr);
    const struct {
        uint32_t nodeState;
        bool checkpointing;
    } cases[] = {{DM_NODE_STATE_PRIMARY, false}, {DM_NODE_STATE_BACKUP, true}, {DM_NODE_STATE_STANDBY, true}};
    for (const auto& c : cases) {
        dm(c.nodeState, c.checkpointing);  // turning checkpointing on runs the bulk copy
        coil_dm_Checkpoint_Service(sr, 1);
        coil_dm_Checkpoint_PortControl(pc, 1);
        EXPECT_TRUE(sent.empty()) << c.nodeState << " " << c.checkpointing;
    }
}

TEST_F(Send, BulkCopyPacksWholeRecordsInto8028BytesInWalkOrder) {
    dm(DM_NODE_STATE_PRIMARY, true);
    EXPECT_TRUE(sent.empty()) << "nothing to copy, nothing sent";
    dm(DM_NODE_STATE_PRIMARY, false);

    for (int i = 21; i >= 0; i--) {
        char id[8];
        std::snprintf(id, sizeof id, "c%02d", i);
        service(id);
    }
    coilServiceNode* sr = findCoilServiceNode("c05", 100);
    for (uint16_t p = 1; p <= 96; p++) {
        sr->target.inPif = {1, p};
        coilPortControlCreate(sr);
    }
    dm(DM_NODE_STATE_PRIMARY, true);
    ASSERT_EQ(lengths(), (std::vector<size_t>{7896, 376, 7980, 84}));
    for (int n = 0; n < 22; n++) {  // services in key order
        const auto& m = sent[n / 21];
        const size_t off = size_t(n % 21) * 376;
        char id[8];
        std::snprintf(id, sizeof id, "c%02d", n);
        EXPECT_EQ(be32(m, off), 0x02010178u);
        EXPECT_STREQ(reinterpret_cast<const char*>(&m[off + 4]), id);
    }
    for (int n = 0; n < 96; n++) {  // port entries newest first
        const auto& m = sent[2 + n / 95];
        const size_t off = size_t(n % 95) * 84;
        EXPECT_EQ(be32(m, off), 0x03010054u);
        EXPECT_EQ(be32(m, off + 8), 0x00010000u | uint32_t(96 - n));
        EXPECT_STREQ(reinterpret_cast<const char*>(&m[off + 24]), "c05");
    }
}

TEST_F(Send, AStoppedPollIsCheckpointed) {
    dm(DM_NODE_STATE_PRIMARY, true);
    coilServiceNode* sr = coiltest::startDaemonService("ospf", 100, 1);
    ASSERT_EQ(sr->state, COIL_STATE_LOOP_DETECTION);
    sent.clear();
    sr->curState(sr, EV_CLIENT_STOP_POLL);
    EXPECT_EQ(sr->state, COIL_STATE_INIT);
    EXPECT_EQ(lengths(), (std::vector<size_t>{752, 752})) << "the entry to INIT, then the stop";
}

}  // namespace
