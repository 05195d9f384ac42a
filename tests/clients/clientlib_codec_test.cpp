// The client message in bytes: the library's codec and the daemon's read and
// write the same vector; port lists, requests and reports.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "clients/coil_client_msg.h"
#include "coil_client.h"

namespace {

void put16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
    v[at] = uint8_t(x >> 8), v[at + 1] = uint8_t(x);
}
void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; i++) v[at + i] = uint8_t(x >> (24 - 8 * i));
}

// Every field a different value, written at its offset by hand.
std::vector<uint8_t> referenceMessage() {
    std::vector<uint8_t> v(1172, 0);
    std::memcpy(v.data(), "ospf", 4);
    put32(v, 32, 0x01020304);      // vlanIfInstance
    v[36] = 1;                     // clientType
    v[37] = 0xa1, v[38] = 0xa2, v[39] = 0xa3;
    put32(v, 40, 2);               // msgType
    put32(v, 44, 0x11121314);      // vr
    put32(v, 48, 0x21222324);      // seq
    put32(v, 52, 0x31323334);      // statusFlag
    put32(v, 56, 0x41424344);      // target.vlanIfInstance
    put32(v, 60, 3);               // numPorts
    put32(v, 64, 0x51525354);      // ports.word0
    put32(v, 68, 0x80000001);      // slot group 0, first word: ports 1 and 32
    put32(v, 68 + 4 * 8 + 4, 0x40000000);  // group 1, second word: port 34
    put32(v, 1092, 1);             // pollType
    put32(v, 1096, 5);             // count
    put32(v, 1100, 7);             // timeout
    put32(v, 1104, 3);             // action
    put32(v, 1108, 1);             // disablePort
    put32(v, 1112, 30);            // disablePortDuration
    v[1116] = 0xb1, v[1119] = 0xb4;
    std::memcpy(v.data() + 1120, "blue", 4);
    v[1152] = 9;                   // noVpifs
    v[1153] = 0xc1;
    put16(v, 1154, 0x0064);        // extTag
    put16(v, 1156, 1), put16(v, 1158, 2);  // inPif
    put16(v, 1160, 5), put16(v, 1162, 1);  // inLif
    put32(v, 1164, 0x41424344);    // txVlanId
    put32(v, 1168, 0x00010001);    // txPortId 1:1
    return v;
}

TEST(ClientCodec, ReadsAndWritesEveryFieldAtItsOffset) {
    const std::vector<uint8_t> bytes = referenceMessage();
    coilClientMessage m;
    ASSERT_EQ(coilClientDecode(bytes.data(), bytes.size(), &m), 0);
    EXPECT_STREQ(m.clientId, "ospf");
    EXPECT_EQ(m.vlanIfInstance, 0x01020304u);
    EXPECT_EQ(m.clientType, 1);
    EXPECT_EQ(m.reserved[2], 0xa3);
    EXPECT_EQ(m.msgType, 2u);
    EXPECT_EQ(m.vr, 0x11121314u);
    EXPECT_EQ(m.seq, 0x21222324u);
    EXPECT_EQ(m.statusFlag, 0x31323334u);
    EXPECT_EQ(m.targetVlanIfInstance, 0x41424344u);
    EXPECT_EQ(m.numPorts, 3u);
    EXPECT_EQ(m.ports.word0, 0x51525354u);
    EXPECT_EQ(m.ports.group[0][0], 0x80000001u);
    EXPECT_EQ(m.ports.group[1][1], 0x40000000u);
    EXPECT_EQ(m.pollType, 1u);
    EXPECT_EQ(m.count, 5u);
    EXPECT_EQ(m.timeout, 7u);
    EXPECT_EQ(m.action, 3u);
    EXPECT_EQ(m.disablePort, 1u);
    EXPECT_EQ(m.disablePortDuration, 30u);
    EXPECT_EQ(m.reserved1[3], 0xb4);
    EXPECT_STREQ(m.vlan, "blue");
    EXPECT_EQ(m.noVpifs, 9);
    EXPECT_EQ(m.reserved2, 0xc1);
    EXPECT_EQ(m.extTag, 100);
    EXPECT_EQ(m.inPifSlot, 1);
    EXPECT_EQ(m.inPifPort, 2);
    EXPECT_EQ(m.inLifSlot, 5);
    EXPECT_EQ(m.inLifPort, 1);
    EXPECT_EQ(m.txVlanId, 0x41424344u);
    EXPECT_EQ(m.txPortId, 0x00010001u);

    std::vector<uint8_t> again(1172, 0xee);
    coilClientEncode(&m, again.data());
    EXPECT_EQ(again, bytes);
}

TEST(ClientCodec, AgreesWithTheDaemonsCodecOnTheSameBytes) {
    const std::vector<uint8_t> bytes = referenceMessage();
    coilClientMsg daemon{};
    coilClientMsgDecode(bytes.data(), bytes.size(), &daemon);
    EXPECT_EQ(daemon.hdr.msgType, 2u);
    EXPECT_EQ(daemon.target.ports.group[1][1], 0x40000000u);
    EXPECT_EQ(daemon.target.extTag, 100);
    EXPECT_EQ(daemon.target.inLif.slot, 5);
    EXPECT_EQ(daemon.target.txPortId, 0x00010001u);

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
    EXPECT_EQ(coilClientPortListAdd(&list, 1, {1, 1}), 0);
    EXPECT_EQ(coilClientPortListAdd(&list, 1, {1, 32}), 0);
    EXPECT_EQ(coilClientPortListAdd(&list, 1, {1, 33}), 0);
    EXPECT_EQ(coilClientPortListAdd(&list, 1, {2, 256}), 0);
    EXPECT_EQ(coilClientPortListAdd(&list, 1, {33, 2}), 0) << "groups wrap after 32 slots";
    EXPECT_EQ(list.group[0][0], 0xc0000001u);
    EXPECT_EQ(list.group[0][1], 0x80000000u);
    EXPECT_EQ(list.group[1][7], 0x00000001u);

    coilClientPortList numbered{};
    EXPECT_EQ(coilClientPortListAdd(&numbered, 3, {3, 1}), 0);
    EXPECT_EQ(numbered.group[0][0], 0x80000000u) << "the first slot is group 0";
    EXPECT_EQ(coilClientPortListAdd(&numbered, 3, {2, 1}), -1);
    EXPECT_EQ(coilClientPortListAdd(&numbered, 3, {3, 0}), -1);
    EXPECT_EQ(coilClientPortListAdd(&numbered, 3, {3, 257}), -1);
}

TEST(ClientRequests, FieldsOfEachRequest) {
    coilClientMessage m;
    char error[128] = "";
    const coilClientPort ports[] = {{1, 3}, {1, 4}, {1, 3}};
    ASSERT_EQ(coilClientBuildRequest(&m, COIL_CLIENT_START_POLL, "ospf", 100, ports, 3, 1, 0, 5, error, sizeof error),
              0);
    EXPECT_EQ(m.msgType, 2u);
    EXPECT_EQ(m.clientType, 1);
    EXPECT_EQ(m.vlanIfInstance, 100u);
    EXPECT_EQ(m.targetVlanIfInstance, 100u);
    EXPECT_EQ(m.numPorts, 2u) << "a port named twice counts once";
    EXPECT_EQ(m.pollType, unsigned(COIL_CLIENT_POLL_CONTINUOUS));
    EXPECT_EQ(m.timeout, 5u);

    ASSERT_EQ(coilClientBuildRequest(&m, COIL_CLIENT_START_POLL, "ospf", 100, nullptr, 0, 1, 3, 2, error, sizeof error),
              0);
    EXPECT_EQ(m.pollType, unsigned(COIL_CLIENT_POLL_COUNTED));
    EXPECT_EQ(m.count, 3u);
    EXPECT_EQ(m.numPorts, 0u) << "no list: every port of the VLAN";

    const std::string longest(31, 'c');
    EXPECT_EQ(coilClientBuildRequest(&m, COIL_CLIENT_REGISTER, longest.c_str(), 1, nullptr, 0, 1, 0, 0, error, 128), 0);
    EXPECT_EQ(coilClientBuildRequest(&m, COIL_CLIENT_REGISTER, (longest + "c").c_str(), 1, nullptr, 0, 1, 0, 0, error,
                                     sizeof error),
              -1);
    EXPECT_EQ(coilClientBuildRequest(&m, COIL_CLIENT_REGISTER, "", 1, nullptr, 0, 1, 0, 0, error, sizeof error), -1);
    EXPECT_EQ(coilClientBuildRequest(&m, COIL_CLIENT_START_POLL, "a", 1, nullptr, 0, 1, 0, 0, error, sizeof error), -1);
    EXPECT_NE(std::string(error).find("interval"), std::string::npos);
    EXPECT_EQ(coilClientBuildRequest(&m, 5, "a", 1, nullptr, 0, 1, 0, 1, error, sizeof error), -1);
    const coilClientPort outside[] = {{1, 300}};
    EXPECT_EQ(coilClientBuildRequest(&m, COIL_CLIENT_REGISTER, "a", 1, outside, 1, 1, 0, 0, error, sizeof error), -1);
}

TEST(ClientReports, LoopAndNoLoopWithTheirPorts) {
    std::vector<uint8_t> bytes = referenceMessage();
    put32(bytes, 1168, 0xab020003);  // only bits 16 to 23 hold the slot
    coilClientMessage m;
    ASSERT_EQ(coilClientDecode(bytes.data(), bytes.size(), &m), 0);
    coilClientReport r;
    ASSERT_EQ(coilClientReportFrom(&m, &r), 0);
    EXPECT_EQ(r.loop, 1);
    EXPECT_STREQ(r.clientId, "ospf");
    EXPECT_STREQ(r.vlan, "blue");
    EXPECT_EQ(r.ingress.slot, 1);
    EXPECT_EQ(r.ingress.port, 2);
    EXPECT_EQ(r.ingressLogical.slot, 5);
    EXPECT_EQ(r.egress.slot, 2);
    EXPECT_EQ(r.egress.port, 3);
    EXPECT_EQ(r.probeVlanInstance, 0x41424344u);

    m.msgType = COIL_CLIENT_REPORT_NO_LOOP;
    ASSERT_EQ(coilClientReportFrom(&m, &r), 0);
    EXPECT_EQ(r.loop, 0);
    m.msgType = COIL_CLIENT_START_POLL + 1;
    EXPECT_EQ(coilClientReportFrom(&m, &r), -1);
}

}  // namespace
