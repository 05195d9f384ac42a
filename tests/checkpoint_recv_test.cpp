// Checkpoints applied by the backup: service and port control records,
// the walk through a message, copied receive records, and hostile input.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "clients/coil_service.h"
#include "events/coil_dm.h"
#include "support/daemon_helpers.h"
#include "support/harness.h"

namespace {

using coiltest::Harness;
using coiltest::port;

// Records built byte by byte from their layout.
struct Bytes {
    std::vector<uint8_t> v;
    explicit Bytes(size_t n) : v(n, 0) {}
    Bytes& u8(size_t off, uint8_t x) { return v[off] = x, *this; }
    Bytes& be16(size_t off, uint16_t x) { return v[off] = uint8_t(x >> 8), v[off + 1] = uint8_t(x), *this; }
    Bytes& be32(size_t off, uint32_t x) { return be16(off, uint16_t(x >> 16)).be16(off + 2, uint16_t(x)); }
    Bytes& text(size_t off, const char* s) { return std::memcpy(&v[off], s, std::strlen(s)), *this; }
};

struct ServiceRec {
    const char* clientId = "1";
    uint32_t vlanIfInstance = 100;
    uint8_t command = 1;
    uint32_t txpkts = 0, rxpkts = 0, detectCount = 0;
    const char* statusString = "";
    uint8_t state = COIL_STATE_INIT, prevState = COIL_STATE_INIT;
    uint32_t serviceId = 1;
    uint32_t inPif = 0, inLif = 0, txVlanId = 0, txPortId = 0;

    std::vector<uint8_t> bytes() const {
        Bytes b(376);
        b.u8(0, 2).u8(1, command).be16(2, 376).text(4, clientId).be32(36, vlanIfInstance);
        b.u8(40, 2).be32(44, 0xdead).be32(48, 0xbeef).be32(52, 0xcafe).be32(56, 0xf00d);
        b.be32(60, txpkts).be32(64, rxpkts).be32(76, 1'780'000'000).be32(84, 7).be32(88, detectCount);
        b.be32(92, 1).text(96, statusString);
        b.u8(352, state).u8(353, prevState).be32(356, serviceId);
        b.be32(360, inPif).be32(364, inLif).be32(368, txVlanId).be32(372, txPortId);
        return b.v;
    }
};

struct PortRec {
    const char* clientId = "1";
    uint32_t vlanIfInstance = 100;
    uint8_t command = 1;
    uint32_t inLif = port(1, 2), inPif = port(1, 2), txVlanId = 100, txPortId = port(1, 1), id = 77;
    uint32_t timeDisabled = 0;

    std::vector<uint8_t> bytes() const {
        Bytes b(84);
        b.u8(0, 3).u8(1, command).be16(2, 84).be32(4, inLif).be32(8, inPif).be32(12, txVlanId);
        b.be32(16, txPortId).be32(20, id).text(24, clientId).be32(56, vlanIfInstance).be32(80, timeDisabled);
        return b.v;
    }
};

std::vector<uint8_t> endRecord(uint16_t length) { return Bytes(length).u8(0, 4).be16(2, length).v; }

std::vector<uint8_t> join(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Every service is in both trees once, under the identifier it carries.
void expectTreesConsistent() {
    size_t services = 0, ids = 0;
    for (coilServiceNode* sr = coilFirstService(); sr != nullptr; sr = coilNextService(sr), services++) {
        coilServiceIdNode* id = findCoilServiceIdNode(sr->serviceId);
        ASSERT_NE(id, nullptr) << sr->hdr.clientId;
        EXPECT_EQ(id->sr, sr);
    }
    for (void* n = p2BtreeFirst(&coilGlobal.root2); n != nullptr; n = p2BtreeNext(n)) ids++;
    EXPECT_EQ(services, ids);
}

// A backup holding the operator's services on blue (periodic, ports held
// 300 s) and red, as the configuration manager replays them on both modules.
class Backup : public ::testing::Test {
  protected:
    void SetUp() override {
        mira::setConditionEnabled("COIL", "DebugSummary", true);
        mira::setNodeRole(DM_NODE_STATE_BACKUP);
        mira::drain();
        ASSERT_EQ(h.configure("blue", {{"interval", "2"},
                                       {"action", "3"},
                                       {"disablePort", "1"},
                                       {"disablePortDuration", "300"}})
                      .result,
                  1);
        ASSERT_EQ(h.configure("red", {{"interval", "5"}}).result, 1);
        blue = findCoilServiceNode("1", 100);
        red = findCoilServiceNode("1", 200);
        ASSERT_NE(blue, nullptr);
        ASSERT_NE(red, nullptr);
        h.clearLog();
        h.clearFrames();
    }
    void deliver(const std::vector<uint8_t>& message, uint32_t kind = 1) {
        mira::deliverCheckpoint(kind, message);
        mira::drain();
    }
    void takeOver() {
        mira::setNodeRole(DM_NODE_STATE_PRIMARY);
        mira::drain();
    }
    uint32_t now() const { return uint32_t(miraTime(nullptr)); }
    // Puts back the services a checkpoint removed.
    void configureAgain() {
        if (findCoilServiceNode("1", 100) == nullptr) h.configure("blue", {{"disablePort", "1"}, {"disablePortDuration", "30"}});
        if (findCoilServiceNode("1", 200) == nullptr) h.configure("red", {});
        if (findCoilServiceNode("2", 100) == nullptr) h.configure("blue", {}, "2");
    }

    Harness h;
    coilServiceNode* blue = nullptr;
    coilServiceNode* red = nullptr;
};

TEST_F(Backup, ServicesRestInInitWithoutTimers) {
    for (coilServiceNode* sr : {blue, red}) {
        EXPECT_EQ(sr->state, COIL_STATE_INIT);
        EXPECT_EQ(sr->pollTimer, 0u);
    }
    h.advance(10);
    EXPECT_TRUE(h.framesOut().empty());
}

TEST_F(Backup, ServiceUpdateInLoopDetectionLeavesTheCopyInInitWithItsCounters) {
    ServiceRec r;
    r.txpkts = 41, r.rxpkts = 3, r.detectCount = 3, r.statusString = "# LOOP DETECTED # blue";
    r.state = COIL_STATE_LOOP_DETECTION, r.prevState = COIL_STATE_INIT;
    r.serviceId = blue->serviceId;
    r.inPif = port(1, 2), r.inLif = port(1, 2), r.txVlanId = 100, r.txPortId = port(1, 1);
    deliver(join({r.bytes(), endRecord(376)}));

    EXPECT_EQ(blue->state, COIL_STATE_INIT);
    EXPECT_EQ(blue->prevState, COIL_STATE_LOOP_DETECTION);
    EXPECT_EQ(blue->pollTimer, 0u);
    EXPECT_EQ(blue->ldTimer, 0u);
    EXPECT_EQ(blue->serviceStats.txpkts, 41u);
    EXPECT_EQ(blue->serviceStats.rxpkts, 3u);
    EXPECT_EQ(blue->serviceStats.pollCount, 7u);
    EXPECT_STREQ(blue->serviceStats.statusString, "# LOOP DETECTED # blue");
    EXPECT_EQ(coilPortWord(blue->target.inPif), port(1, 2));
    EXPECT_EQ(blue->target.txPortId, port(1, 1));
    // Only the key of the record's header is taken.
    EXPECT_EQ(blue->hdr.msgType, 0u);
    EXPECT_EQ(blue->hdr.vr, 0u);
    EXPECT_TRUE(h.logHas("coil_parse_cp_service() serviceId:1 prevState:1 state:1"));
    h.advance(10);
    EXPECT_TRUE(h.framesOut().empty());
}

TEST_F(Backup, InvalidStateFallsBackToInit) {
    ServiceRec r;
    r.state = 9, r.serviceId = blue->serviceId;
    deliver(r.bytes());
    EXPECT_TRUE(h.logHas("coil_parse_cp_service() WARNING: Invalid state :9  Default to INIT"));
    EXPECT_EQ(blue->state, COIL_STATE_INIT);
    EXPECT_EQ(blue->curState, &S_Init);
}

TEST_F(Backup, NewServiceIdIsFoundUnderTheNewIdentifierOnly) {
    const uint32_t old = blue->serviceId;
    ServiceRec r;
    r.serviceId = 5000;
    deliver(r.bytes());
    EXPECT_EQ(blue->serviceId, 5000u);
    ASSERT_NE(findCoilServiceIdNode(5000), nullptr);
    EXPECT_EQ(findCoilServiceIdNode(5000)->sr, blue);
    EXPECT_EQ(findCoilServiceIdNode(old), nullptr);
    EXPECT_TRUE(h.logHas("coil_parse_cp_service() serviceId:1 update to 5000"));
    expectTreesConsistent();
}

TEST_F(Backup, ServicesNumberedTheOtherWayRoundExchangeIdentifiers) {
    const uint32_t blueId = blue->serviceId, redId = red->serviceId;
    ServiceRec b, r;
    b.serviceId = redId;
    r.vlanIfInstance = 200, r.serviceId = blueId;
    deliver(join({b.bytes(), r.bytes()}));
    EXPECT_EQ(blue->serviceId, redId);
    EXPECT_EQ(red->serviceId, blueId);
    expectTreesConsistent();
}

TEST_F(Backup, DeleteRemovesTheServiceAndUnknownKeysAreSkipped) {
    ServiceRec gone, unknown, kept;
    gone.command = 2;
    unknown.clientId = "nobody";
    kept.vlanIfInstance = 200, kept.serviceId = red->serviceId, kept.txpkts = 9;
    deliver(join({gone.bytes(), unknown.bytes(), kept.bytes()}));
    EXPECT_EQ(findCoilServiceNode("1", 100), nullptr);
    EXPECT_TRUE(h.logHas("coil_parse_cp_service() Service DELETE Checkpoint"));
    EXPECT_TRUE(h.logHas("coil_parse_cp_service() coilService not found for clientId:nobody  vlanIfInstance:100"));
    EXPECT_EQ(red->serviceStats.txpkts, 9u) << "the walk goes on after a skipped record";
    expectTreesConsistent();
}

TEST_F(Backup, TheWalkStopsAtAnEndRecordAndAtAnUnknownType) {
    ServiceRec first, after;
    first.txpkts = 1, first.serviceId = blue->serviceId;
    after.vlanIfInstance = 200, after.txpkts = 2, after.serviceId = red->serviceId;
    deliver(join({first.bytes(), endRecord(376), after.bytes()}));
    EXPECT_EQ(blue->serviceStats.txpkts, 1u);
    EXPECT_EQ(red->serviceStats.txpkts, 0u);

    first.txpkts = 3;
    testing::internal::CaptureStdout();
    deliver(join({first.bytes(), Bytes(20).u8(0, 7).v, after.bytes()}));
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: Unknown CP Type (7)\n");
    EXPECT_EQ(blue->serviceStats.txpkts, 3u) << "records before it stay applied";
    EXPECT_EQ(red->serviceStats.txpkts, 0u);
}

TEST_F(Backup, GlobalRecordSetsThePacketCounters) {
    deliver(Bytes(20).u8(0, 1).u8(1, 1).be16(2, 20).be32(4, 10).be32(8, 20).be32(12, 30).be32(16, 40).v);
    EXPECT_EQ(coilGlobal.numPktsSent, 10u);
    EXPECT_EQ(coilGlobal.numPktsRcvd, 20u);
    EXPECT_EQ(coilGlobal.txPduFailed, 30u);
    EXPECT_EQ(coilGlobal.rxPduFailed, 40u);
    EXPECT_TRUE(h.logHas("coil_parse_cp_global() Global UPDATE Checkpoint"));
    deliver(Bytes(20).u8(0, 1).u8(1, 2).be16(2, 20).be32(4, 99).v);
    EXPECT_EQ(coilGlobal.numPktsSent, 10u) << "only command 1 updates";
}

TEST_F(Backup, PortControlAddCreatesOrUpdatesAnEntryWithoutATimerAndDeleteDestroysIt) {
    PortRec r;
    r.timeDisabled = now() - 50;
    deliver(join({r.bytes(), endRecord(84)}));
    coilPortControl* pc = coilPortControlGet(port(1, 2));
    ASSERT_NE(pc, nullptr);
    EXPECT_TRUE(h.logHas("coil_parse_cp_portcontrol() coilPortControl not found for inPif:1:2... create it!"));
    EXPECT_EQ(pc->sPtr, blue);
    EXPECT_EQ(pc->timeDisabled, now() - 50);
    EXPECT_EQ(pc->txPortId, port(1, 1));
    EXPECT_NE(pc->id, 77u) << "the entry keeps its own number";
    EXPECT_EQ(pc->tPtr, 0u);

    r.clientId = "1", r.vlanIfInstance = 200, r.timeDisabled = now() - 10;
    deliver(r.bytes());
    EXPECT_EQ(coilPortControlGet(port(1, 2)), pc) << "the same port updates its entry";
    EXPECT_EQ(pc->sPtr, red);
    EXPECT_EQ(pc->timeDisabled, now() - 10);

    r.clientId = "ghost";
    r.inPif = port(1, 3);
    deliver(r.bytes());
    EXPECT_TRUE(h.logHas("coilService not found for clientId:ghost  vlanIfInstance:200  BAIL"));
    EXPECT_EQ(coilPortControlGet(port(1, 3)), nullptr);

    r.command = 2, r.inPif = port(1, 2);
    deliver(r.bytes());
    EXPECT_EQ(coilPortControlGetFirst(), nullptr);
    EXPECT_TRUE(h.logHas("coil_parse_cp_portcontrol() PortControl DELETE Checkpoint"));
}

TEST_F(Backup, CheckpointsArrivingAtThePrimaryChangeNothing) {
    takeOver();
    const coilServiceNode before = *blue;
    ServiceRec r;
    r.txpkts = 1000, r.serviceId = 4242;
    PortRec p;
    deliver(join({r.bytes(), p.bytes()}));
    EXPECT_EQ(blue->serviceStats.txpkts, before.serviceStats.txpkts);
    EXPECT_EQ(blue->serviceId, before.serviceId);
    EXPECT_EQ(coilPortControlGetFirst(), nullptr);
}

TEST_F(Backup, ACopiedReceiveRecordIsMatchedLikeAFrameFromTheNetwork) {
    coiltest::giveLink({port(1, 3)});  // an operator's PDU counts only on a forwarding port
    const std::vector<uint8_t> frame = coiltest::returningPdu(blue, port(1, 1));
    Bytes rec(116);
    rec.text(0, "stale name").be32(32, 100).be32(40, port(1, 3)).be32(44, port(1, 3));
    rec.be32(48, uint32_t(frame.size()));
    std::memcpy(&rec.v[52], frame.data(), frame.size());
    deliver(rec.v, 0);
    EXPECT_EQ(blue->serviceStats.rxpkts, 1u);
    EXPECT_EQ(coilGlobal.numPktsRcvd, 1u);
    EXPECT_EQ(coilPortWord(blue->target.inPif), port(1, 3));
    EXPECT_EQ(blue->target.txPortId, port(1, 1));

    rec.v.pop_back();  // one byte short of a receive record
    deliver(rec.v, 0);
    deliver(rec.v, 5);  // an unknown kind
    EXPECT_EQ(blue->serviceStats.rxpkts, 1u);
}

TEST_F(Backup, TakeoverStartsEveryServiceAndResumesTheRemainingHoldTime) {
    PortRec recent, old;
    recent.inPif = recent.inLif = port(1, 2), recent.timeDisabled = now() - 100;
    old.inPif = old.inLif = port(1, 3), old.timeDisabled = now() - 400;
    deliver(join({recent.bytes(), old.bytes()}));
    coiltest::giveLink({port(1, 1)});
    h.clearLog();

    takeOver();
    EXPECT_EQ(blue->state, COIL_STATE_LOOP_DETECTION);
    EXPECT_EQ(red->state, COIL_STATE_LOOP_DETECTION);
    EXPECT_TRUE(h.logHas("activateCoilService() duration(200) = disablePortDuration(300) - timeDiff(100)"));
    EXPECT_EQ(h.logCount("Enabling port 1:3. 300 second duration timer has expired."), 1) << "at once";
    EXPECT_FALSE(h.logHas("Enabling port 1:2"));
    h.advance(2);
    EXPECT_FALSE(h.framesOut(port(1, 1)).empty()) << "the new primary polls";

    h.advance(197);
    EXPECT_FALSE(h.logHas("Enabling port 1:2"));
    h.advance(1);
    EXPECT_EQ(h.logCount("Enabling port 1:2. 300 second duration timer has expired."), 1);
}

TEST_F(Backup, TruncatedMessagesApplyOnlyTheRecordsTheyHoldWhole) {
    ServiceRec r;
    r.txpkts = 5, r.serviceId = blue->serviceId;
    PortRec p;
    const std::vector<uint8_t> whole = join({r.bytes(), p.bytes()});
    for (size_t n = 0; n < whole.size(); n++) {
        blue->serviceStats.txpkts = 0;
        deliver(std::vector<uint8_t>(whole.begin(), whole.begin() + long(n)));
        EXPECT_EQ(blue->serviceStats.txpkts, n >= 376 ? 5u : 0u) << n;
        ASSERT_EQ(coilPortControlGetFirst(), nullptr) << n;
    }
}

// Random records of every type with the keys of real services, so that the
// parsers' deep paths (identifier changes, deletes, port entries) run on
// nonsense; then a takeover acts on whatever was left.
TEST_F(Backup, GarbageCrashesNothingAndKeepsTheTreesConsistent) {
    configureAgain();
    testing::internal::CaptureStdout();  // the walk's messages about unknown types
    std::mt19937 rng(1234);
    auto byte = [&] { return uint8_t(rng()); };
    for (int i = 0; i < 3000; i++) {
        std::vector<uint8_t> m(rng() % 900);
        for (uint8_t& b : m) b = byte();
        for (size_t off = 0; off + 84 <= m.size(); off += 84 + rng() % 300) {
            m[off] = uint8_t(1 + rng() % 3);
            m[off + 1] = uint8_t(rng() % 3);
            const size_t key = m[off] == 3 ? off + 24 : off + 4;
            if (m[off] == 1 || key + 36 > m.size() || rng() % 4 == 0) continue;
            std::memset(&m[key], 0, 32);
            m[key] = rng() % 2 ? '1' : '2';
            Bytes k(4);
            k.be32(0, rng() % 2 ? 100 : 200);
            std::copy(k.v.begin(), k.v.end(), m.begin() + long(key + 32));
        }
        deliver(m, rng() % 3);
        if (i % 500 == 0) configureAgain();
    }
    std::fflush(stdout);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Error: Unknown CP Type"), std::string::npos);
    expectTreesConsistent();
    takeOver();
    h.advance(400);
    expectTreesConsistent();
}

}  // namespace
