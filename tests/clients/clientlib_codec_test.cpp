// The client message in bytes: the library's codec and the daemon's read and
// write the same vector; port lists, requests and reports.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "clients/coil_client_msg.h"
#include "coil_client.h"

namespace {

void put16(std::vector<uint8_t>& v, size_t at, uint16_t x) { v[at] = uint8_t(x >> 8), v[at + 1] = uint8_t(x); }
void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    put16(v, at, uint16_t(x >> 16)), put16(v, at + 2, uint16_t(x));
}

// Every field a different value, written at its offset by hand.
std::vector<uint8_t> referenceMessage() {
    std::vector<uint8_t> v(1172, 0);
    std::memcpy(v.data(), "ospf", 4);
    put32(v, 32, 0x01020304);  // vlanIfInstance
    v[36] = 1;                 // clientType
    v[37] = 0xa1, v[38] = 0xa2, v[39] = 0xa3;
    for (uint32_t at = 40, x = 2; at < 64; at += 4, x += 0x10101010) put32(v, at, x);  // msgType .. numPorts
    put32(v, 64, 0x51525354);                                                       // ports.word0
    put32(v, 68, 0x80000001);              // slot group 0, first word: ports 1 and 32
    put32(v, 68 + 4 * 8 + 4, 0x40000000);  // group 1, second word: port 34
    for (uint32_t at = 1092, x = 1; at < 1116; at += 4, x++) put32(v, at, x);  // pollType .. disablePortDuration
    v[1116] = 0xb1, v[1119] = 0xb4;
    std::memcpy(v.data() + 1120, "blue", 4);
    v[1152] = 9;  // noVpifs
    v[1153] = 0xc1;
    put16(v, 1154, 0x0064);                // extTag
    put16(v, 1156, 1), put16(v, 1158, 2);  // inPif
    put16(v, 1160, 5), put16(v, 1162, 1);  // inLif
    put32(v, 1164, 0x41424344);            // txVlanId
    put32(v, 1168, 0x00010001);            // txPortId 1:1
    return v;
}

TEST(ClientCodec, BothCodecsReadAndWriteEveryFieldAtItsOffset) {
    const std::vector<uint8_t> bytes = referenceMessage();
    coilClientMessage want{};
    std::strcpy(want.clientId, "ospf");
    want.vlanIfInstance = 0x01020304, want.clientType = 1;
    want.reserved[0] = 0xa1, want.reserved[1] = 0xa2, want.reserved[2] = 0xa3;
    want.msgType = 2, want.vr = 0x10101012, want.seq = 0x20202022, want.statusFlag = 0x30303032;
    want.targetVlanIfInstance = 0x40404042, want.numPorts = 0x50505052;
    want.ports.word0 = 0x51525354;
    want.ports.group[0][0] = 0x80000001;
    want.ports.group[1][1] = 0x40000000;
    want.pollType = 1, want.count = 2, want.timeout = 3, want.action = 4, want.disablePort = 5;
    want.disablePortDuration = 6;
    want.reserved1[0] = 0xb1, want.reserved1[3] = 0xb4;
    std::strcpy(want.vlan, "blue");
    want.noVpifs = 9, want.reserved2 = 0xc1, want.extTag = 100;
    want.inPifSlot = 1, want.inPifPort = 2, want.inLifSlot = 5, want.inLifPort = 1;
    want.txVlanId = 0x41424344, want.txPortId = 0x00010001;

    std::vector<uint8_t> out(1172, 0xee);
    coilClientEncode(&want, out.data());
    EXPECT_EQ(out, bytes);
    coilClientMessage m;
    std::memset(&m, 0x5a, sizeof m);
    ASSERT_EQ(coilClientDecode(bytes.data(), bytes.size(), &m), 0);
    EXPECT_EQ(std::memcmp(&m, &want, sizeof m), 0);

    coilClientMsg daemon{};
    coilClientMsgDecode(bytes.data(), bytes.size(), &daemon);
    EXPECT_EQ(daemon.target.ports.group[1][1], 0x40000000u);
    std::vector<uint8_t> fromDaemon(1172, 0);
    coilClientMsgEncode(&daemon, fromDaemon.data());
    EXPECT_EQ(fromDaemon, bytes);
}

TEST(ClientCodec, RefusesAnythingButAWholeMessageAndTerminatesTexts) {
    std::vector<uint8_t> bytes = referenceMessage();
    coilClientMessage m;
    std::memset(&m, 0x5a, sizeof m);
    EXPECT_EQ(coilClientDecode(bytes.data(), 1171, &m), -1);
    EXPECT_EQ(coilClientDecode(bytes.data(), 1173, &m), -1);
    EXPECT_EQ(m.msgType, 0x5a5a5a5au) << "a refused message leaves the record alone";

    std::memset(bytes.data(), 'x', 32);
    std::memset(bytes.data() + 1120, 'y', 32);
    ASSERT_EQ(coilClientDecode(bytes.data(), bytes.size(), &m), 0);
    EXPECT_EQ(std::strlen(m.clientId), 31u);
    EXPECT_EQ(std::strlen(m.vlan), 31u);
}

TEST(ClientPorts, ListBitsFollowTheSwitchsForm) {
    coilClientPortList list{};
    for (coilClientPort p : {coilClientPort{1, 1}, {1, 32}, {1, 33}, {2, 256}, {33, 2}})  // groups wrap after 32 slots
        EXPECT_EQ(coilClientPortListAdd(&list, 1, p), 0);
    EXPECT_EQ(list.group[0][0], 0xc0000001u);
    EXPECT_EQ(list.group[0][1], 0x80000000u);
    EXPECT_EQ(list.group[1][7], 0x00000001u);

    coilClientPortList numbered{};
    EXPECT_EQ(coilClientPortListAdd(&numbered, 3, {3, 1}), 0);
    EXPECT_EQ(numbered.group[0][0], 0x80000000u) << "the first slot is group 0";
    for (coilClientPort p : {coilClientPort{2, 1}, {3, 0}, {3, 257}})
        EXPECT_EQ(coilClientPortListAdd(&numbered, 3, p), -1);
}

TEST(ClientRequests, FieldsOfEachRequestAndRefusals) {
    coilClientMessage m;
    char error[128] = "";
    const coilClientPort ports[] = {{1, 3}, {1, 4}, {1, 3}};
    // The identifying fields: coil-client's requests served in ClientDaemons (tests/process).
    ASSERT_EQ(coilClientBuildRequest(&m, COIL_CLIENT_START_POLL, "ospf", 100, ports, 3, 1, 0, 5, error, 128), 0);
    EXPECT_EQ(m.targetVlanIfInstance, 100u);
    EXPECT_EQ(m.numPorts, 2u) << "a port named twice counts once";
    EXPECT_EQ(m.pollType, unsigned(COIL_CLIENT_POLL_CONTINUOUS));
    EXPECT_EQ(m.timeout, 5u);
    ASSERT_EQ(coilClientBuildRequest(&m, COIL_CLIENT_START_POLL, "ospf", 100, nullptr, 0, 1, 3, 2, error, 128), 0);
    EXPECT_EQ(m.pollType, unsigned(COIL_CLIENT_POLL_COUNTED));
    EXPECT_EQ(m.count, 3u);
    EXPECT_EQ(m.numPorts, 0u) << "no list: every port of the VLAN";

    const std::string longest(31, 'c'), tooLong(32, 'c');
    const coilClientPort outside[] = {{1, 300}};
    const struct {
        uint32_t op;
        const char* id;
        const coilClientPort* ports;
        uint32_t interval;
        int result;
    } cases[] = {{COIL_CLIENT_REGISTER, longest.c_str(), nullptr, 0, 0}, {COIL_CLIENT_REGISTER, tooLong.c_str(), nullptr, 0, -1},
                 {COIL_CLIENT_REGISTER, "", nullptr, 0, -1},             {5, "a", nullptr, 1, -1},
                 {COIL_CLIENT_REGISTER, "a", outside, 0, -1},           {COIL_CLIENT_START_POLL, "a", nullptr, 0, -1}};
    for (const auto& c : cases)
        EXPECT_EQ(coilClientBuildRequest(&m, c.op, c.id, 1, c.ports, c.ports ? 1 : 0, 1, 0, c.interval, error, 128),
                  c.result)
            << c.op << " " << c.id;
    EXPECT_NE(std::string(error).find("interval"), std::string::npos) << "the last refusal says why";
}

TEST(ClientReports, LoopAndNoLoopWithTheirPorts) {
    std::vector<uint8_t> bytes = referenceMessage();
    put32(bytes, 1168, 0xab020003);  // only bits 16 to 23 hold the slot
    coilClientMessage m;
    ASSERT_EQ(coilClientDecode(bytes.data(), bytes.size(), &m), 0);
    coilClientReport r;
    ASSERT_EQ(coilClientReportFrom(&m, &r), 0);
    // Every field as coil-client prints it: ClientDaemons.WatchReportsEachLoopOncePerInterval (tests/process).
    EXPECT_EQ(r.loop, 1);
    EXPECT_EQ(r.ingressLogical.slot, 5);
    EXPECT_EQ(r.egress.slot, 2);
    EXPECT_EQ(r.egress.port, 3);

    m.msgType = COIL_CLIENT_REPORT_NO_LOOP;
    ASSERT_EQ(coilClientReportFrom(&m, &r), 0);
    EXPECT_EQ(r.loop, 0);
    m.msgType = COIL_CLIENT_START_POLL + 1;
    EXPECT_EQ(coilClientReportFrom(&m, &r), -1);
}

}  // namespace
