// Checkpoints sent by the primary: the bytes of each record, the update
// messages with their command rules, the packing of the bulk copy, and the
// conditions under which nothing is sent.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "clients/coil_service.h"
#include "events/coil_dm.h"
#include "mira/switch.h"
#include "support/harness.h"

namespace {

using coiltest::Harness;

struct Sent {
    int kind;
    std::vector<uint8_t> bytes;
};

uint32_t be32(const std::vector<uint8_t>& v, size_t off) {
    return uint32_t(v[off]) << 24 | uint32_t(v[off + 1]) << 16 | uint32_t(v[off + 2]) << 8 | v[off + 3];
}

// Writers of the expected bytes, by offset.
void putBe16(std::vector<uint8_t>& v, size_t off, uint16_t x) {
    v[off] = uint8_t(x >> 8);
    v[off + 1] = uint8_t(x);
}
void putBe32(std::vector<uint8_t>& v, size_t off, uint32_t x) {
    putBe16(v, off, uint16_t(x >> 16));
    putBe16(v, off + 2, uint16_t(x));
}
void putText(std::vector<uint8_t>& v, size_t off, const char* s) { std::memcpy(&v[off], s, std::strlen(s)); }

class Send : public ::testing::Test {
  protected:
    void SetUp() override {
        mira::setBackupSink([this](int kind, std::span<const uint8_t> m) {
            sent.push_back({kind, {m.begin(), m.end()}});
        });
    }
    void checkpointing(bool on) {
        mira::setCheckpointing(on);
        mira::drain();
    }
    void role(uint32_t nodeState) {
        mira::setNodeRole(nodeState);
        mira::drain();
    }
    // A client daemon's service, left in INIT.
    coilServiceNode* service(const char* clientId, uint32_t vlanIfInstance = 100) {
        coilServiceNode request{};
        coilCopyText(request.hdr.clientId, sizeof request.hdr.clientId, clientId);
        request.hdr.vlanIfInstance = vlanIfInstance;
        EXPECT_EQ(createCoilServiceNode(&request), 0);
        return findCoilServiceNode(clientId, vlanIfInstance);
    }
    std::vector<size_t> lengths() const {
        std::vector<size_t> out;
        for (const Sent& s : sent) out.push_back(s.bytes.size());
        return out;
    }

    Harness h;
    std::vector<Sent> sent;
};

// A service with a distinct value in every field that a record carries.
coilServiceNode fullService() {
    coilServiceNode sr{};
    std::strcpy(sr.hdr.clientId, "ospf-7");
    sr.hdr.vlanIfInstance = 0x0a0b0c0d;
    sr.hdr.clientType = 1;
    sr.hdr.msgType = 0x11121314;
    sr.hdr.vr = 0x21222324;
    sr.hdr.seq = 0x31323334;
    sr.hdr.statusFlag = 0x41424344;
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
    sr.target.disablePortDuration = 99;  // not part of any record
    return sr;
}

std::vector<uint8_t> fullServiceRecord() {
    std::vector<uint8_t> v(376, 0);
    v[0] = 2, v[1] = 1;
    putBe16(v, 2, 376);
    putText(v, 4, "ospf-7");
    putBe32(v, 36, 0x0a0b0c0d);
    v[40] = 1;
    putBe32(v, 44, 0x11121314);
    putBe32(v, 48, 0x21222324);
    putBe32(v, 52, 0x31323334);
    putBe32(v, 56, 0x41424344);
    putBe32(v, 60, 0x51525354);
    putBe32(v, 64, 0x61626364);
    putBe32(v, 76, 0x71727374);
    putBe32(v, 84, 0x81828384);
    putBe32(v, 88, 0x91929394);
    putBe32(v, 92, 1);
    putText(v, 96, "# LOOP DETECTED #");
    v[352] = 2, v[353] = 1;
    putBe32(v, 356, 0xa1a2a3a4);
    putBe32(v, 360, 0x00020007);
    putBe32(v, 364, 0x00030001);
    putBe32(v, 368, 0xb1b2b3b4);
    putBe32(v, 372, 0x00010005);
    return v;
}

TEST_F(Send, ServiceUpdateIsTheRecordWithCommandOneThenAnEndRecordOfItsLength) {
    checkpointing(true);
    sent.clear();
    coilServiceNode sr = fullService();
    coil_dm_Checkpoint_Service(&sr, 2);  // the command argument does not reach the record
    ASSERT_EQ(lengths(), std::vector<size_t>{752});
    EXPECT_EQ(sent[0].kind, 1);
    std::vector<uint8_t> expected = fullServiceRecord();
    expected.resize(752, 0);
    expected[376] = 4;
    putBe16(expected, 378, 376);
    EXPECT_EQ(sent[0].bytes, expected);
}

TEST_F(Send, PortControlUpdateCarriesTheCallersCommandThenAZeroEndRecord) {
    checkpointing(true);
    sent.clear();
    coilServiceNode sr = fullService();
    coilPortControl pc{};
    pc.inLif = {3, 1};
    pc.inPif = {1, 6};
    pc.txVlanId = 0x0000c8c9;
    pc.txPortId = 0x00010002;
    pc.id = 0x12345678;
    pc.sPtr = &sr;
    pc.timeDisabled = 1'780'000'123;
    coil_dm_Checkpoint_PortControl(&pc, 2);
    coil_dm_Checkpoint_PortControl(&pc, 1);
    ASSERT_EQ(lengths(), (std::vector<size_t>{168, 168}));

    std::vector<uint8_t> expected(168, 0);
    expected[0] = 3, expected[1] = 2;
    putBe16(expected, 2, 84);
    putBe32(expected, 4, 0x00030001);
    putBe32(expected, 8, 0x00010006);
    putBe32(expected, 12, 0x0000c8c9);
    putBe32(expected, 16, 0x00010002);
    putBe32(expected, 20, 0x12345678);
    // The service header of the entry's service, as in the service record.
    const std::vector<uint8_t> service = fullServiceRecord();
    std::copy(service.begin() + 4, service.begin() + 60, expected.begin() + 24);
    putBe32(expected, 80, 1'780'000'123);
    expected[84] = 4;
    putBe16(expected, 86, 84);
    EXPECT_EQ(sent[0].bytes, expected);
    expected[1] = 1;
    EXPECT_EQ(sent[1].bytes, expected);
}

TEST_F(Send, NothingLeavesWithCheckpointingOffOrOffThePrimary) {
    coilServiceNode* sr = service("ospf");
    sr->target.inPif = {1, 2};
    coilPortControl* pc = coilPortControlCreate(sr);
    auto sendEverything = [&] {
        coil_dm_Checkpoint_Service(sr, 1);
        coil_dm_Checkpoint_PortControl(pc, 1);
        coil_CP_bulk();
    };

    sendEverything();  // primary, checkpointing off
    EXPECT_TRUE(sent.empty());

    for (uint32_t nodeState : {DM_NODE_STATE_BACKUP, DM_NODE_STATE_STANDBY}) {
        role(nodeState);
        checkpointing(true);
        sendEverything();
        EXPECT_TRUE(sent.empty()) << "node state " << nodeState;
        checkpointing(false);
    }

    role(DM_NODE_STATE_PRIMARY);
    sent.clear();
    checkpointing(true);  // the bulk copy
    EXPECT_EQ(lengths(), (std::vector<size_t>{376, 84}));
    coil_dm_Checkpoint_Service(nullptr, 1);
    coil_dm_Checkpoint_PortControl(nullptr, 1);
    EXPECT_EQ(sent.size(), 2u);
}

TEST_F(Send, BulkOfTwentyTwoServicesIsTwentyOneRecordsThenOneInKeyOrder) {
    for (int i = 21; i >= 0; i--) {
        char id[8];
        std::snprintf(id, sizeof id, "c%02d", i);
        service(id);
    }
    checkpointing(true);
    ASSERT_EQ(lengths(), (std::vector<size_t>{7896, 376}));
    int n = 0;
    for (const Sent& s : sent) {
        EXPECT_EQ(s.kind, 1);
        for (size_t off = 0; off < s.bytes.size(); off += 376, n++) {
            char id[8];
            std::snprintf(id, sizeof id, "c%02d", n);
            EXPECT_EQ(be32(s.bytes, off), 0x02010178u) << "record " << n;
            EXPECT_STREQ(reinterpret_cast<const char*>(&s.bytes[off + 4]), id);
        }
    }
    EXPECT_EQ(n, 22);
}

TEST_F(Send, BulkOfNinetySixPortEntriesIsNinetyFiveRecordsThenOneNewestFirst) {
    coilServiceNode* sr = service("ospf");
    for (uint16_t p = 1; p <= 96; p++) {
        sr->target.inPif = {1, p};
        coilPortControlCreate(sr);
    }
    checkpointing(true);
    ASSERT_EQ(lengths(), (std::vector<size_t>{376, 7980, 84}));
    uint16_t expectPort = 96;
    for (size_t m = 1; m < sent.size(); m++) {
        for (size_t off = 0; off < sent[m].bytes.size(); off += 84, expectPort--) {
            EXPECT_EQ(be32(sent[m].bytes, off), 0x03010054u);
            EXPECT_EQ(be32(sent[m].bytes, off + 8), 0x00010000u | expectPort);
            EXPECT_STREQ(reinterpret_cast<const char*>(&sent[m].bytes[off + 24]), "ospf");
        }
    }
    EXPECT_EQ(expectPort, 0);
}

TEST_F(Send, AnEmptyDaemonSendsNoBulk) {
    checkpointing(true);
    EXPECT_TRUE(sent.empty());
}

TEST_F(Send, ALoopOnThePrimaryChecksTheNewPortEntryAndTheServiceState) {
    ASSERT_TRUE(mira::cablePorts(coiltest::port(1, 1), coiltest::port(1, 2)));
    checkpointing(true);
    ASSERT_EQ(h.configure("blue", {{"interval", "2"}, {"disablePort", "1"}, {"disablePortDuration", "30"}}).result,
              1);
    sent.clear();
    h.advance(1);
    // The port entry goes first (it is made while the loop is handled), the
    // service with its counters after.
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[0].bytes.size(), 168u);
    EXPECT_EQ(be32(sent[0].bytes, 8), coiltest::port(1, 2));
    EXPECT_EQ(sent[1].bytes.size(), 752u);
    EXPECT_EQ(be32(sent[1].bytes, 64), 1u) << "rxpkts";
    EXPECT_EQ(be32(sent[1].bytes, 360), coiltest::port(1, 2)) << "inPif";
}

}  // namespace
