// Checkpoints applied by the backup: records, the walk through a message,
// copied receive records, takeover, and hostile input.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>

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
        configureAgain();
        blue = findCoilServiceNode("1", 100);
        red = findCoilServiceNode("1", 200);
        h.clearLog();
    }
    void configureAgain() {
        if (!findCoilServiceNode("1", 100)) h.configure("blue", {{"disablePort", "1"}, {"disablePortDuration", "300"}});
        if (!findCoilServiceNode("1", 200)) h.configure("red", {});
        if (!findCoilServiceNode("2", 100)) h.configure("blue", {}, "2");
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

TEST_F(Backup, TakeoverStartsEveryServiceAndResumesWhatRemainsOfEachHoldTime) {
    deliver(join({portRecord(port(1, 2), now() - 100), portRecord(port(1, 3), now() - 400)}));
    coiltest::giveLink({port(1, 1)});
    h.clearFrames();
    mira::setNodeRole(DM_NODE_STATE_PRIMARY);
    mira::drain();
    EXPECT_EQ(red->state, COIL_STATE_LOOP_DETECTION);
    EXPECT_EQ(h.logCount("Enabling port 1:3. 300 second duration timer has expired."), 1) << "at once";
    h.advance(199);
    EXPECT_FALSE(h.framesOut(port(1, 1)).empty()) << "the new primary polls";
    EXPECT_FALSE(h.logHas("Enabling port 1:2"));
    h.advance(1);
    EXPECT_EQ(h.logCount("Enabling port 1:2. 300 second duration timer has expired."), 1);
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

// Random records with the keys of real services, so that the deep paths
// (identifier changes, deletes, port entries) run on nonsense; then a
// takeover acts on whatever was left.
TEST_F(Backup, GarbageCrashesNothingAndKeepsTheTreesConsistent) {
    testing::internal::CaptureStdout();
    std::mt19937 rng(1234);
    for (int i = 0; i < 3000; i++) {
        std::vector<uint8_t> m(rng() % 900);
        for (uint8_t& b : m) b = uint8_t(rng());
        for (size_t off = 0; off + 84 <= m.size(); off += 84 + rng() % 300) {
            m[off] = uint8_t(1 + rng() % 3);
            m[off + 1] = uint8_t(rng() % 3);
            const size_t key = m[off] == 3 ? off + 24 : off + 4;
            if (m[off] == 1 || key + 36 > m.size() || rng() % 4 == 0) continue;
            std::memset(&m[key], 0, 36);
            m[key] = rng() % 2 ? '1' : '2';
            m[key + 35] = rng() % 2 ? 100 : 200;
        }
        deliver(m, rng() % 3);
        if (i % 500 == 0) configureAgain();
    }
    std::fflush(stdout);
    testing::internal::GetCapturedStdout();
    expectTreesConsistent();
    mira::setNodeRole(DM_NODE_STATE_PRIMARY);
    h.advance(400);
    expectTreesConsistent();
}

}  // namespace
