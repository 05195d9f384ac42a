// Writes the seed corpus of one fuzz target from live records, so that the
// seeds carry the identifiers, checksums and times the target's daemon
// holds:  coil_fuzz_seeds frame|checkpoint|client_message <directory>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "clients/coil_client_msg.h"
#include "engine/coil_bytes.h"
#include "fuzz_daemon.h"
#include "mira/sim/switch.h"

namespace {

using namespace coilfuzz;
using Bytes = std::vector<uint8_t>;

std::string dir;

void write(const std::string& name, const Bytes& bytes) {
    const std::string path = dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::fclose(f);
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes be16(uint16_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }
Bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

coilServiceNode* service(const char* client, uint32_t instance) {
    coilServiceNode* sr = findCoilServiceNode(client, instance);
    if (sr == nullptr) {
        std::fprintf(stderr, "no service %s:%u\n", client, instance);
        std::exit(1);
    }
    return sr;
}

// Frame target: path byte, VLAN instance, ingress ports, frame.
Bytes frameInput(bool record, uint32_t vlan, uint32_t inPif, const Bytes& frame) {
    return join({{uint8_t(record ? 1 : 0)}, be32(vlan), be32(inPif), be32(inPif), frame});
}

void frameSeeds() {
    startDaemon(DM_NODE_STATE_PRIMARY);
    ensureFrameServices();
    const Bytes blue = returningPdu(service("1", kBlue), port(1, 1));
    const Bytes once = returningPdu(service("2", kBlue), port(1, 2));
    const Bytes red = returningPdu(service("d", kRed), port(2, 2));
    const Bytes redOperator = returningPdu(service("1", kRed), port(1, 1));
    for (bool record : {false, true}) {
        const std::string path = record ? "record-" : "port-";
        write(path + "blue-loop", frameInput(record, kBlue, port(1, 2), blue));
        write(path + "blue-one-shot-loop", frameInput(record, kBlue, port(1, 5), once));
        write(path + "red-daemon-loop", frameInput(record, kRed, port(2, 1), red));
        write(path + "red-operator-loop", frameInput(record, kRed, port(1, 2), redOperator));
    }
    write("record-blue-pdu-on-red", frameInput(true, kRed, port(1, 2), blue));
    Bytes bad = blue;
    bad[42] = 0x98;
    write("record-wrong-marker", frameInput(true, kBlue, port(1, 2), bad));
    bad = blue;
    bad[28] = 0, bad[29] = 10;  // header length below 20
    write("record-short-header-length", frameInput(true, kBlue, port(1, 2), bad));
    write("port-truncated", frameInput(false, kBlue, port(1, 2), Bytes(blue.begin(), blue.begin() + 30)));
}

void checkpointSeeds() {
    startDaemon(DM_NODE_STATE_BACKUP);
    ensureBackupState();
    const coilServiceNode* blue = service("1", kBlue);
    auto serviceRecord = [](const char* client, uint32_t instance, uint8_t command, uint8_t state, uint32_t id) {
        Bytes r(376, 0);
        r[0] = 2, r[1] = command;
        coilPutBe16(&r[2], 376);
        std::memcpy(&r[4], client, std::strlen(client));
        coilPutBe32(&r[36], instance);
        coilPutBe32(&r[60], 41);   // txpkts
        coilPutBe32(&r[64], 3);    // rxpkts
        coilPutBe32(&r[88], 3);    // detectCount
        std::memcpy(&r[96], "# LOOP DETECTED # blue", 22);
        r[352] = state, r[353] = 1;
        coilPutBe32(&r[356], id);
        coilPutBe32(&r[360], port(1, 2));
        coilPutBe32(&r[364], port(1, 2));
        coilPutBe32(&r[368], kBlue);
        coilPutBe32(&r[372], port(1, 1));
        return r;
    };
    auto end = [](uint16_t length) {
        Bytes r(length, 0);
        r[0] = 4;
        coilPutBe16(&r[2], length);
        return r;
    };
    const Bytes kind1{1}, takeover{0x81};
    write("service-update", join({kind1, serviceRecord("1", kBlue, 1, 2, 1), end(376)}));
    write("service-update-takeover", join({takeover, serviceRecord("1", kBlue, 1, 2, 1), end(376)}));
    write("service-new-identifier", join({kind1, serviceRecord("1", kBlue, 1, 1, 5000)}));
    write("service-exchange-identifiers",
          join({kind1, serviceRecord("1", kBlue, 1, 1, 2), serviceRecord("1", kRed, 1, 1, 1)}));
    write("service-delete", join({kind1, serviceRecord("2", kBlue, 2, 1, 3)}));
    write("bulk-services", join({kind1, serviceRecord("1", kBlue, 1, 2, 1), serviceRecord("1", kRed, 1, 1, 2),
                                 serviceRecord("2", kBlue, 1, 2, 3)}));
    write("global", join({kind1, {1, 1, 0, 20}, be32(10), be32(20), be32(30), be32(40)}));
    write("port-control-add", join({kind1, portControlAdd(port(1, 4), 10), end(84)}));
    Bytes removal = portControlAdd(port(1, 2), 0);
    removal[1] = 2;
    write("port-control-delete", join({kind1, removal, end(84)}));
    write("port-control-takeover", join({takeover, portControlAdd(port(1, 4), 250)}));
    write("unknown-type", join({kind1, serviceRecord("1", kBlue, 1, 1, 1), {7, 1, 0, 20}, Bytes(16, 0)}));

    // A receive record copied from the primary: blue's PDU back on 1:2.
    Bytes rec(116, 0);
    std::memcpy(rec.data(), "blue", 4);
    coilPutBe32(&rec[32], kBlue);
    coilPutBe32(&rec[40], port(1, 2));
    coilPutBe32(&rec[44], port(1, 2));
    const Bytes pdu = returningPdu(blue, port(1, 1));
    coilPutBe32(&rec[48], uint32_t(pdu.size()));
    std::memcpy(&rec[52], pdu.data(), pdu.size());
    write("receive-record", join({{0}, rec}));
}

// Client message target: operations of fuzz_client_message.cpp.
Bytes message(uint32_t opcode, const char* client, uint32_t vlan, uint32_t pollType, uint32_t count,
              uint32_t disablePort, uint32_t duration, std::initializer_list<uint32_t> ports = {}) {
    coilClientMsg m{};
    coilCopyText(m.hdr.clientId, sizeof m.hdr.clientId, client);
    m.hdr.vlanIfInstance = vlan;
    m.hdr.msgType = opcode;
    m.hdr.seq = 77;
    m.target.vlanIfInstance = vlan;
    m.target.pollType = pollType;
    m.target.count = count;
    m.target.timeout = 1;
    m.target.action = COIL_ACTION_TEXT;
    m.target.disablePort = disablePort;
    m.target.disablePortDuration = duration;
    for (uint32_t p : ports) mira::portListAdd(&m.target.ports, p);
    m.target.numPorts = uint32_t(ports.size());
    Bytes out(COIL_CLIENT_MSG_SIZE);
    coilClientMsgEncode(&m, out.data());
    return join({{0}, be16(COIL_CLIENT_MSG_SIZE), out});
}
Bytes passTime(uint8_t seconds) { return {2, seconds}; }
Bytes fromPeer(uint8_t peer) { return {3, uint8_t(peer - 1)}; }
Bytes peerEvent(uint8_t opcode, uint32_t peer, uint8_t length = 8) {
    Bytes data = join({be32(peer), be32(0)});
    data.resize(length);
    return join({{1, opcode, length}, data});
}

void clientMessageSeeds() {
    startDaemon(DM_NODE_STATE_PRIMARY);  // the port lists' slot numbering
    const uint32_t once = COIL_POLL_ONESHOT, periodic = COIL_POLL_PERIODIC;
    write("register-start-loop-stop-deregister",
          join({peerEvent(1, 1), message(1, "stp", kBlue, periodic, 0, 1, 2), message(2, "stp", kBlue, periodic, 0, 1, 2),
                passTime(3), message(3, "stp", kBlue, periodic, 0, 1, 2), message(4, "stp", kBlue, periodic, 0, 1, 2)}));
    write("counted-poll-with-ports", join({message(1, "lacp", kRed, once, 3, 1, 0, {port(2, 1), port(1, 1)}),
                                           message(2, "lacp", kRed, once, 3, 1, 0, {port(2, 1), port(1, 1)}),
                                           passTime(5)}));
    write("peer-dies-with-services",
          join({fromPeer(2), message(1, "a", kBlue, periodic, 0, 0, 0), message(1, "b", kRed, periodic, 0, 0, 0),
                message(2, "b", kRed, periodic, 0, 0, 0), passTime(2), peerEvent(2, 2)}));
    write("start-from-another-peer", join({message(1, "x", kBlue, periodic, 0, 1, 0), fromPeer(3),
                                           message(2, "x", kBlue, periodic, 0, 1, 0), passTime(2)}));
    write("unknown-vlan-and-opcode", join({message(1, "u", 999, periodic, 0, 0, 0), message(9, "u", kBlue, periodic, 0, 0, 0)}));
    write("peer-events", join({peerEvent(1, 5, 7), peerEvent(2, 5, 9), peerEvent(3, 5), peerEvent(1, 5)}));
    write("library-events", Bytes{0x80, 0, 0, 0xff, 0x87, 0x80, 0, 0, 0xfc, 0x19, 0x80, 0, 0, 0, 0});
    // A period of 0 seconds, and a port list with every bit set (ports no
    // chassis has).
    Bytes zero = message(2, "z", kBlue, periodic, 0, 1, 0);
    coilPutBe32(&zero[3 + 1100], 0);
    write("zero-period", join({message(1, "z", kBlue, periodic, 0, 1, 0), zero, passTime(3)}));
    Bytes every = message(2, "e", kRed, once, 0xffffffff, 1, 1);
    std::fill(every.begin() + 3 + 60, every.begin() + 3 + 1092, uint8_t(0xff));
    write("every-port-bit", join({message(1, "e", kRed, once, 0, 1, 1), every, passTime(7), passTime(7)}));
    const Bytes shortMessage = message(1, "s", kBlue, periodic, 0, 0, 0);
    write("short-message", join({{0}, be16(40), Bytes(shortMessage.begin() + 3, shortMessage.begin() + 43)}));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: coil_fuzz_seeds frame|checkpoint|client_message DIRECTORY\n");
        return 2;
    }
    dir = argv[2];
    const std::string target = argv[1];
    if (target == "frame") frameSeeds();
    else if (target == "checkpoint") checkpointSeeds();
    else if (target == "client_message") clientMessageSeeds();
    else return 2;
    return 0;
}
