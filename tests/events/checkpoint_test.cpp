// Checkpoints: the bytes of each record and message the primary sends, the
// packing of the bulk copy, and what the backup applies from them (records,
// the walk through a message, copied receive records, takeover, hostile input).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "clients/coil_service.h"
#include "events/coil_dm.h"
#include "support/daemon_helpers.h"
#include "support/harness.h"

namespace {

using coiltest::port;

struct Bytes {
    std::vector<uint8_t> v;
    explicit Bytes(size_t n) : v(n, 0) {}
    Bytes& u8(size_t off, uint8_t x) { return v[off] = x, *this; }
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
    coilServiceNode* sr = coiltest::registerDaemonService("ospf", 100);
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
        coiltest::registerDaemonService(id, 100);
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

TEST_F(Send, AStoppedPollAndAnExpiredOneAreCheckpointed) {
    dm(DM_NODE_STATE_PRIMARY, true);
    coilServiceNode* sr = coiltest::startDaemonService("ospf", 100, 1);
    for (uint32_t event : {EV_CLIENT_STOP_POLL, EV_LD_TIMER_EXPIRY}) {
        if (sr->state == COIL_STATE_INIT) {
            sent.clear();
            sr->curState(sr, EV_CLIENT_START_POLL);
            EXPECT_EQ(lengths(), std::vector<size_t>{752}) << "the start";
        }
        ASSERT_EQ(sr->state, COIL_STATE_LOOP_DETECTION);
        sent.clear();
        sr->curState(sr, event);
        EXPECT_EQ(sr->state, COIL_STATE_INIT);
        EXPECT_EQ(lengths(), (std::vector<size_t>{752, 752})) << "the entry to INIT, then event " << event;
    }
}

// A service record of client "1" on the VLAN instance, from the layout.
Bytes serviceRecord(uint32_t vlanIfInstance, uint32_t serviceId, uint32_t txpkts = 0, uint8_t command = 1) {
    Bytes b(376);
    b.u8(0, 2).u8(1, command).be16(2, 376).text(4, "1").be32(36, vlanIfInstance).be32(44, 0xdead);
    return b.be32(56, 0xf00d).be32(60, txpkts).be32(84, 7).text(96, "# LOOP DETECTED #").be32(356, serviceId);
}

Bytes portRecord(uint32_t inPif, uint32_t timeDisabled, uint8_t command = 1, const char* clientId = "1") {
    Bytes b(84);
    b.u8(0, 3).u8(1, command).be16(2, 84).be32(4, inPif).be32(8, inPif).be32(16, port(1, 1)).be32(20, 77);
    return b.text(24, clientId).be32(56, 100).be32(80, timeDisabled);
}

std::vector<uint8_t> join(std::initializer_list<Bytes> parts) {
    std::vector<uint8_t> out;
    for (const Bytes& p : parts) out.insert(out.end(), p.v.begin(), p.v.end());
    return out;
}

// Every service is in both trees once, under the identifier it carries.
void expectTreesConsistent() {
    size_t services = 0, ids = 0;
    for (coilServiceNode* sr = coilFirstService(); sr != nullptr; sr = coilNextService(sr), services++) {
        coilServiceIdNode* id = findCoilServiceIdNode(sr->serviceId);
        ASSERT_NE(id, nullptr);
        EXPECT_EQ(id->sr, sr);
    }
    for (void* n = p2BtreeFirst(&coilGlobal.root2); n != nullptr; n = p2BtreeNext(n)) ids++;
    EXPECT_EQ(services, ids);
}

// A backup holding the operator's services on blue (ports held 300 s) and
// red, as its configuration manager would have replayed them.
class Backup : public ::testing::Test {
  protected:
    void SetUp() override {
        mira::setConditionEnabled("COIL", "DebugSummary", true);
        mira::setNodeRole(DM_NODE_STATE_BACKUP);
        mira::drain();
        h.configure("blue", {{"disablePort", "1"}, {"disablePortDuration", "300"}});
        h.configure("red", {});
        blue = findCoilServiceNode("1", 100);
        red = findCoilServiceNode("1", 200);
        h.clearLog();
    }
    void deliver(const std::vector<uint8_t>& message, uint32_t kind = 1) {
        mira::deliverCheckpoint(kind, message);
        mira::drain();
    }
    uint32_t now() const { return uint32_t(miraTime(nullptr)); }

    coiltest::Harness h;
    coilServiceNode* blue = nullptr;
    coilServiceNode* red = nullptr;
};

TEST_F(Backup, AServiceInLoopDetectionRestsInInitWithTheRecordsCounters) {
    Bytes r = serviceRecord(100, blue->serviceId, 41);
    r.u8(352, COIL_STATE_LOOP_DETECTION).u8(353, COIL_STATE_INIT).be32(360, port(1, 2)).be32(372, port(1, 1));
    deliver(r.v);
    EXPECT_EQ(blue->state, COIL_STATE_INIT);
    EXPECT_EQ(blue->prevState, COIL_STATE_LOOP_DETECTION);
    EXPECT_EQ(blue->pollTimer, 0u);
    EXPECT_EQ(blue->ldTimer, 0u);
    EXPECT_EQ(blue->serviceStats.txpkts, 41u);
    EXPECT_EQ(blue->serviceStats.pollCount, 7u);
    EXPECT_STREQ(blue->serviceStats.statusString, "# LOOP DETECTED #");
    EXPECT_EQ(coilPortWord(blue->target.inPif), port(1, 2));
    EXPECT_EQ(blue->target.txPortId, port(1, 1));
    EXPECT_EQ(blue->hdr.msgType, 0u) << "only the key of the record's header is taken";
    EXPECT_EQ(blue->hdr.statusFlag, 0u);
}

TEST_F(Backup, IdentifiersFollowThePrimarysEvenWhenTwoServicesSwapThem) {
    const uint32_t blueId = blue->serviceId, redId = red->serviceId;
    deliver(serviceRecord(100, 5000).v);
    EXPECT_EQ(findCoilServiceIdNode(5000)->sr, blue);
    EXPECT_EQ(findCoilServiceIdNode(blueId), nullptr);
    EXPECT_TRUE(h.logHas("coil_parse_cp_service() serviceId:1 update to 5000"));

    deliver(join({serviceRecord(100, redId), serviceRecord(200, blueId)}));
    EXPECT_EQ(blue->serviceId, redId);
    EXPECT_EQ(red->serviceId, blueId);
    expectTreesConsistent();
}

TEST_F(Backup, TheWalkSkipsUnknownKeysAndStopsAtAnEndRecordOrAnUnknownType) {
    Bytes global(20);
    global.u8(0, 1).u8(1, 1).be16(2, 20).be32(4, 10).be32(16, 40);
    Bytes end(376);
    end.u8(0, 4).be16(2, 376);
    Bytes nobody = serviceRecord(300, 9);
    deliver(join({global, nobody, serviceRecord(100, blue->serviceId, 1), end, serviceRecord(200, red->serviceId, 2)}));
    EXPECT_EQ(coilGlobal.numPktsSent, 10u);
    EXPECT_EQ(coilGlobal.rxPduFailed, 40u);
    EXPECT_TRUE(h.logHas("coil_parse_cp_service() coilService not found for clientId:1  vlanIfInstance:300"));
    EXPECT_EQ(blue->serviceStats.txpkts, 1u);
    EXPECT_EQ(red->serviceStats.txpkts, 0u) << "after the end record";

    testing::internal::CaptureStdout();
    deliver(join({serviceRecord(100, blue->serviceId, 3), Bytes(20).u8(0, 7), serviceRecord(200, red->serviceId, 2)}));
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: Unknown CP Type (7)\n");
    EXPECT_EQ(blue->serviceStats.txpkts, 3u) << "records before it stay applied";
    EXPECT_EQ(red->serviceStats.txpkts, 0u);

    deliver(serviceRecord(100, blue->serviceId, 0, 2).v);
    EXPECT_EQ(findCoilServiceNode("1", 100), nullptr);
    expectTreesConsistent();
}

TEST_F(Backup, PortEntriesAreCreatedOrUpdatedWithoutATimerAndDeleted) {
    deliver(portRecord(port(1, 2), now() - 50).v);
    coilPortControl* pc = coilPortControlGet(port(1, 2));
    ASSERT_NE(pc, nullptr);
    EXPECT_EQ(pc->sPtr, blue);
    EXPECT_EQ(pc->timeDisabled, now() - 50);
    EXPECT_EQ(pc->txPortId, port(1, 1));
    EXPECT_NE(pc->id, 77u) << "the entry keeps its own number";
    EXPECT_EQ(pc->tPtr, 0u);

    deliver(join({portRecord(port(1, 2), now() - 10), portRecord(port(1, 3), now(), 1, "ghost")}));
    EXPECT_EQ(coilPortControlGet(port(1, 2)), pc);
    EXPECT_EQ(pc->timeDisabled, now() - 10);
    EXPECT_EQ(coilPortControlGet(port(1, 3)), nullptr);
    EXPECT_TRUE(h.logHas("coilService not found for clientId:ghost  vlanIfInstance:100  BAIL"));

    deliver(portRecord(port(1, 2), 0, 2).v);
    EXPECT_EQ(coilPortControlGetFirst(), nullptr);
}

TEST_F(Backup, ThePrimaryIgnoresRecordsButMatchesACopiedReceiveRecord) {
    mira::setNodeRole(DM_NODE_STATE_PRIMARY);
    mira::drain();
    deliver(join({serviceRecord(100, 4242, 1000), portRecord(port(1, 2), now())}));
    EXPECT_NE(blue->serviceId, 4242u);
    EXPECT_EQ(coilPortControlGetFirst(), nullptr);

    coiltest::giveLink({port(1, 3)});  // an operator's PDU counts only on a forwarding port
    const std::vector<uint8_t> frame = coiltest::returningPdu(blue, port(1, 1));
    Bytes rec(116);
    rec.be32(32, 100).be32(40, port(1, 3)).be32(44, port(1, 3)).be32(48, uint32_t(frame.size()));
    std::memcpy(&rec.v[52], frame.data(), frame.size());
    const uint32_t rxpkts = blue->serviceStats.rxpkts;
    deliver(rec.v, 0);
    EXPECT_EQ(blue->serviceStats.rxpkts, rxpkts + 1);
    EXPECT_EQ(coilPortWord(blue->target.inPif), port(1, 3));
    rec.v.pop_back();  // one byte short of a receive record
    deliver(rec.v, 0);
    EXPECT_EQ(blue->serviceStats.rxpkts, rxpkts + 1);
}

TEST_F(Backup, ATruncatedMessageAppliesOnlyTheRecordsItHoldsWhole) {
    const std::vector<uint8_t> whole = join({serviceRecord(100, blue->serviceId, 5), portRecord(port(1, 2), now())});
    for (size_t n = 0; n < whole.size(); n++) {
        blue->serviceStats.txpkts = 0;
        deliver(std::vector<uint8_t>(whole.begin(), whole.begin() + long(n)));
        EXPECT_EQ(blue->serviceStats.txpkts, n >= 376 ? 5u : 0u) << n;
        ASSERT_EQ(coilPortControlGetFirst(), nullptr) << n;
    }
}

}  // namespace
