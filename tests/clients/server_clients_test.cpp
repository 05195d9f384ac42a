// Client daemons against the daemon in virtual time: each client is a
// client-library connection over the message server's real socket, and the
// loop is pumped between its requests.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/reset.h"
#include "clients/coil_server.h"
#include "coil_client.h"
#include "engine/coil.h"
#include "mira/core/ipml_wire.h"
#include "mira/sim/switch.h"
#include "support/daemon_helpers.h"
#include "support/harness.h"

namespace {

using coiltest::port;

// A run directory for the daemon's sockets, set before the daemon starts.
struct RunDir {
    std::string path;
    RunDir() {
        char pattern[] = "/tmp/coil-clients-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) ADD_FAILURE() << "mkdtemp";
        path = pattern;
        mira::setRunDir(path);
    }
    ~RunDir() {
        coiltest::resetDaemonAndPlatform();
        mira::setRunDir("");
        std::filesystem::remove_all(path);
    }
};

class Client {
  public:
    explicit Client(const std::string& runDir) {
        char error[256] = "";
        c_ = coilClientConnect(runDir.c_str(), error, sizeof error);
        if (c_ == nullptr) ADD_FAILURE() << error;
        mira::drain();
    }
    ~Client() { close(); }
    void close() {
        if (c_ != nullptr) coilClientClose(c_);
        c_ = nullptr;
        mira::drain();
    }

    void registerService(const char* id, uint32_t vlan, std::vector<coilClientPort> ports = {}) {
        ASSERT_EQ(coilClientRegister(c_, id, vlan, ports.data(), ports.size()), 0) << coilClientError(c_);
        mira::drain();
    }
    void start(const char* id, uint32_t vlan, uint32_t count, uint32_t interval, std::vector<coilClientPort> ports = {}) {
        ASSERT_EQ(coilClientStartPoll(c_, id, vlan, count, interval, ports.data(), ports.size()), 0)
            << coilClientError(c_);
        mira::drain();
    }
    void send(const coilClientMessage& msg) {
        ASSERT_EQ(coilClientSend(c_, &msg), 0) << coilClientError(c_);
        mira::drain();
    }
    void stop(const char* id, uint32_t vlan) {
        ASSERT_EQ(coilClientStopPoll(c_, id, vlan), 0);
        mira::drain();
    }
    void deregister(const char* id, uint32_t vlan) {
        ASSERT_EQ(coilClientDeregister(c_, id, vlan), 0);
        mira::drain();
    }
    // Every report waiting now.
    std::vector<coilClientReport> reports() {
        std::vector<coilClientReport> out;
        coilClientReport r;
        while (coilClientReceive(c_, &r, 0) == 1) out.push_back(r);
        return out;
    }
    // Raw bytes on the connection, as a broken client would write them.
    void writeRaw(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(::send(coilClientFd(c_), bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
        mira::drain();
    }

  private:
    coilClient* c_ = nullptr;
};

std::vector<uint8_t> framed(const std::vector<uint8_t>& body, uint32_t claimed) {
    std::vector<uint8_t> f(4 + body.size());
    for (int i = 0; i < 4; i++) f[i] = uint8_t(claimed >> (24 - 8 * i));
    std::copy(body.begin(), body.end(), f.begin() + 4);
    return f;
}

int serviceCount() {
    int n = 0;
    for (coilServiceNode* sr = coilFirstService(); sr != nullptr; sr = coilNextService(sr)) n++;
    return n;
}

// The daemon's peer identifiers, in the order the peers connected.
std::vector<uint32_t> peers() { return mira::ipmlPeers(gCoilServerPort); }

class ClientDaemons : public testing::Test {
  protected:
    ClientDaemons() {
        mira::logDiscard();  // the harness keeps every line for the test
        mira::setConditionEnabled("trace", "*", true);
    }
    RunDir run_;
    coiltest::Harness h_;
};

TEST_F(ClientDaemons, RegisterMakesOneIdleServiceOwnedByItsPeer) {
    Client a(run_.path);
    a.registerService("ospf", 100, {{1, 3}});
    a.registerService("ospf", 100, {{1, 4}});
    ASSERT_EQ(serviceCount(), 1);
    coilServiceNode* sr = findCoilServiceNode("ospf", 100);
    ASSERT_NE(sr, nullptr);
    EXPECT_EQ(sr->state, COIL_STATE_INIT);
    EXPECT_EQ(sr->peerId, peers().at(0));
    EXPECT_EQ(sr->hdr.clientType, 1);
    EXPECT_STREQ(sr->target.vlan, "blue") << "named after the VLAN";
    EXPECT_TRUE(mira::portListHas(&sr->target.ports, port(1, 3))) << "the first Register's list stays";

    coiltest::giveLink({port(1, 1), port(1, 3)});
    h_.advance(5);
    EXPECT_TRUE(h_.framesOut().empty()) << "nothing is sent before a Start Poll";

    // A Register for a VLAN instance the switch does not have makes nothing.
    a.registerService("ospf", 999);
    EXPECT_EQ(serviceCount(), 1);
}

TEST_F(ClientDaemons, StartPollRunsWithItsOwnParametersAndEndsWithANoLoopReport) {
    coiltest::giveLink({port(1, 1), port(1, 3)});
    Client a(run_.path);
    // A Register with poll parameters of its own, a report action and a
    // sequence number to echo.
    coilClientMessage reg;
    ASSERT_EQ(coilClientBuildRequest(&reg, COIL_CLIENT_REGISTER, "ospf", 100, nullptr, 0, 1, 0, 9, nullptr, 0), 0);
    reg.action = 3;
    reg.seq = 77;
    a.send(reg);
    EXPECT_EQ(findCoilServiceNode("ospf", 100)->target.timeout, 9u);
    a.start("ospf", 100, 2, 3, {{1, 3}});

    coilServiceNode* sr = findCoilServiceNode("ospf", 100);
    ASSERT_NE(sr, nullptr);
    EXPECT_EQ(sr->state, COIL_STATE_LOOP_DETECTION);
    EXPECT_EQ(sr->target.pollType, uint32_t(COIL_CLIENT_POLL_COUNTED));
    EXPECT_EQ(sr->target.count, 2u);
    EXPECT_EQ(sr->target.timeout, 3u);
    EXPECT_EQ(sr->target.numPorts, 1u);
    EXPECT_EQ(sr->target.action, 3u) << "kept from the Register";
    EXPECT_EQ(coiltest::egressPorts(h_.framesOut()), std::vector<uint32_t>{port(1, 3)});

    // Two polls 3 s apart, a wait of one more period: the no-loop report.
    h_.advance(8);
    EXPECT_TRUE(a.reports().empty());
    h_.advance(1);
    std::vector<coilClientReport> got = a.reports();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].loop, 0);
    EXPECT_EQ(got[0].message.msgType, uint32_t(COIL_CLIENT_REPORT_NO_LOOP));
    EXPECT_STREQ(got[0].clientId, "ospf");
    EXPECT_STREQ(got[0].vlan, "blue");
    EXPECT_EQ(got[0].message.count, 2u);
    EXPECT_EQ(got[0].message.numPorts, 1u);
    EXPECT_EQ(got[0].message.seq, 77u) << "echoed";
    EXPECT_EQ(coiltest::egressPorts(h_.framesOut()).size(), 2u);
    EXPECT_EQ(sr->state, COIL_STATE_INIT);
}

TEST_F(ClientDaemons, AnotherPeersRequestsActOnlyWhenServicesAreShared) {
    coiltest::giveLink({port(1, 1)});
    Client owner(run_.path), other(run_.path);
    owner.registerService("ospf", 100);
    other.registerService("ospf", 100);  // exists: ignored, the owner stays
    other.start("ospf", 100, 0, 1);
    coilServiceNode* sr = findCoilServiceNode("ospf", 100);
    ASSERT_NE(sr, nullptr);
    EXPECT_EQ(sr->state, COIL_STATE_INIT) << "not the other peer's to start";
    EXPECT_EQ(sr->peerId, peers().at(0));

    struct Shared {
        Shared() { gCoilClientsShareServices = true; }
        ~Shared() { gCoilClientsShareServices = false; }
    } shared;
    other.start("ospf", 100, 0, 1);
    EXPECT_EQ(sr->state, COIL_STATE_LOOP_DETECTION);
    other.stop("ospf", 100);
    EXPECT_EQ(sr->state, COIL_STATE_INIT);
    other.close();
    EXPECT_EQ(findCoilServiceNode("ospf", 100), sr) << "it belongs to its owner";
    owner.deregister("ospf", 100);
    EXPECT_EQ(serviceCount(), 0);
}

TEST_F(ClientDaemons, APeersServicesDieWithItsConnectionAndOnlyThose) {
    coiltest::giveLink({port(1, 1)});
    Client a(run_.path), b(run_.path);
    a.registerService("ospf", 100);
    a.registerService("ospf", 200);
    a.registerService("bgp", 100);
    a.start("ospf", 100, 0, 1);
    b.registerService("isis", 100);
    ASSERT_EQ(serviceCount(), 4);

    a.close();
    ASSERT_EQ(serviceCount(), 1);
    EXPECT_NE(findCoilServiceNode("isis", 100), nullptr);
    EXPECT_TRUE(h_.logHas("Peer dead"));
    h_.clearFrames();
    h_.advance(3);
    EXPECT_TRUE(h_.framesOut().empty()) << "the running service's timers went with it";
}

TEST_F(ClientDaemons, ALoopIsReportedOnceAndTheServiceWaitsForANewStartPoll) {
    ASSERT_TRUE(mira::cablePorts(port(1, 1), port(1, 2)));
    mira::drain();
    Client a(run_.path);
    a.registerService("ospf", 100);
    a.start("ospf", 100, 0, 1, {{1, 1}});
    std::vector<coilClientReport> got = a.reports();
    ASSERT_EQ(got.size(), 1u);
    const coilClientReport& r = got[0];
    EXPECT_EQ(r.loop, 1);
    EXPECT_EQ(r.message.msgType, uint32_t(COIL_CLIENT_REPORT_LOOP));
    EXPECT_EQ(r.ingress.slot, 1);
    EXPECT_EQ(r.ingress.port, 2);
    EXPECT_EQ(r.ingressLogical.port, 2);
    EXPECT_EQ(r.egress.slot, 1);
    EXPECT_EQ(r.egress.port, 1);
    EXPECT_EQ(r.probeVlanInstance, 100u);
    EXPECT_EQ(r.message.pollType, uint32_t(COIL_CLIENT_POLL_CONTINUOUS));
    EXPECT_EQ(r.message.numPorts, 1u) << "the report carries the service's current target";

    coilServiceNode* sr = findCoilServiceNode("ospf", 100);
    EXPECT_EQ(sr->state, COIL_STATE_INIT);
    h_.clearFrames();
    h_.advance(5);
    EXPECT_TRUE(h_.framesOut().empty());
    EXPECT_TRUE(a.reports().empty());

    // A no-loop report after a loop still carries the recorded ports.
    ASSERT_TRUE(mira::uncablePort(port(1, 1)));
    ASSERT_TRUE(mira::cablePorts(port(1, 1), port(2, 8)));
    mira::drain();
    a.start("ospf", 100, 1, 1, {{1, 1}});
    h_.advance(2);
    got = a.reports();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].loop, 0);
    EXPECT_EQ(got[0].ingress.port, 2);
    EXPECT_EQ(got[0].egress.port, 1);
}

TEST_F(ClientDaemons, PeerEventsOfTheWrongLengthAreRefused) {
    Client a(run_.path);
    a.registerService("ospf", 100);
    uint8_t data[9] = {};
    const uint32_t peer = peers().at(0);
    std::memcpy(data, &peer, sizeof peer);
    EXPECT_EQ(coilServerIPMLCallback(nullptr, IPML_PEER_DEAD, data, 7), -1);
    EXPECT_EQ(coilServerIPMLCallback(nullptr, IPML_PEER_DEAD, data, 9), -1);
    EXPECT_TRUE(h_.logHas("Illegal data length, got 7, expected 8"));
    EXPECT_TRUE(h_.logHas("Illegal data length, got 9, expected 8"));
    EXPECT_EQ(serviceCount(), 1) << "the dead event was not acted on";
}

TEST_F(ClientDaemons, GarbageTruncatedAndOversizedFramesChangeNothing) {
    ASSERT_TRUE(mira::cablePorts(port(1, 1), port(1, 2)));
    mira::drain();
    Client good(run_.path);
    good.registerService("ospf", 100);
    good.registerService("bgp", 100);

    Client noisy(run_.path);
    std::mt19937 random(1172);
    for (int i = 0; i < 50; i++) {
        std::vector<uint8_t> body(1 + random() % mira::kIpmlMaxMessage);
        for (uint8_t& b : body) b = uint8_t(random());
        if (body.size() > 40) body[40] = 0xee;  // never one of the four opcodes
        noisy.writeRaw(framed(body, uint32_t(body.size())));
    }
    EXPECT_TRUE(h_.logHas("Illegal opcode"));
    noisy.writeRaw(framed(std::vector<uint8_t>(600, 0), 1172));  // the rest never comes
    noisy.close();
    Client oversized(run_.path);
    oversized.writeRaw(framed({}, 0x7fffffff));

    EXPECT_EQ(serviceCount(), 2);
    EXPECT_EQ(findCoilServiceNode("ospf", 100)->state, COIL_STATE_INIT);
    EXPECT_EQ(peers().size(), 1u) << "the oversized frame's sender is let go";

    // The server still serves: the good client starts a run and hears of its loop.
    good.start("ospf", 100, 0, 1, {{1, 1}});
    std::vector<coilClientReport> got = good.reports();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].loop, 1);
    Client late(run_.path);
    late.registerService("isis", 100);
    EXPECT_EQ(serviceCount(), 3);
}

}  // namespace
