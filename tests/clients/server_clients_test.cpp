// Client daemons against the daemon in virtual time: each client is a
// client-library connection over the message server's real socket, and the
// loop is pumped between its requests.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "clients/coil_server.h"
#include "coil_client.h"
#include "bm.h"
#include "engine/coil.h"
#include "ipml.h"
#include "mira/core/ipml_wire.h"
#include "mira/sim/switch.h"
#include "support/daemon_helpers.h"
#include "support/harness.h"
#include "support/reset.h"
#include "support/temp_dir.h"

namespace {

using coiltest::port;

// A run directory for the daemon's sockets, set before the daemon starts.
struct RunDir : coiltest::TempDir {
    RunDir() : TempDir("coil-clients") { mira::setRunDir(path); }
    ~RunDir() {
        coiltest::resetDaemonAndPlatform();
        mira::setRunDir("");
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
        ASSERT_EQ(coilClientStartPoll(c_, id, vlan, count, interval, ports.data(), ports.size()), 0);
        mira::drain();
    }
    void send(const coilClientMessage& msg) {
        ASSERT_EQ(coilClientSend(c_, &msg), 0) << coilClientError(c_);
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
    int fd() { return coilClientFd(c_); }

  private:
    coilClient* c_ = nullptr;
};

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

TEST_F(ClientDaemons, RegisterMakesAnIdleServiceOfItsPeerAndStartPollRunsItToANoLoopReport) {
    coiltest::giveLink({port(1, 1), port(1, 3)});
    Client a(run_.path);
    // A Register with ports, a timeout, a report action and a sequence number to echo.
    coilClientMessage reg;
    const coilClientPort ports[] = {{1, 3}};
    ASSERT_EQ(coilClientBuildRequest(&reg, COIL_CLIENT_REGISTER, "ospf", 100, ports, 1, 1, 0, 9, nullptr, 0), 0);
    reg.action = 3;
    reg.seq = 77;
    a.send(reg);
    a.registerService("ospf", 100, {{1, 4}});  // exists: ignored
    a.registerService("ospf", 999);            // no such VLAN instance: nothing made
    ASSERT_EQ(serviceCount(), 1);
    coilServiceNode* sr = findCoilServiceNode("ospf", 100);
    EXPECT_EQ(sr->state, COIL_STATE_INIT);
    EXPECT_EQ(sr->peerId, peers().at(0));
    EXPECT_EQ(sr->hdr.clientType, 1);
    EXPECT_EQ(sr->target.timeout, 9u);
    EXPECT_STREQ(sr->target.vlan, "blue") << "named after the VLAN";
    EXPECT_TRUE(mira::portListHas(&sr->target.ports, port(1, 3))) << "the first Register's list stays";
    h_.advance(5);
    EXPECT_TRUE(h_.framesOut().empty()) << "nothing is sent before a Start Poll";

    a.start("ospf", 100, 2, 3, {{1, 3}});
    EXPECT_EQ(sr->state, COIL_STATE_LOOP_DETECTION);
    EXPECT_EQ(sr->target.pollType, uint32_t(COIL_CLIENT_POLL_COUNTED));
    EXPECT_EQ(sr->target.timeout, 3u);
    EXPECT_EQ(sr->target.action, 3u) << "kept from the Register";
    EXPECT_EQ(coiltest::egressPorts(h_.framesOut()), std::vector<uint32_t>{port(1, 3)});

    // Two polls 3 s apart, a wait of one more period: the no-loop report (the names
    // a report carries: ClientDaemons.WatchReportsEachLoopOncePerInterval, process).
    h_.advance(8);
    EXPECT_TRUE(a.reports().empty());
    h_.advance(1);
    std::vector<coilClientReport> got = a.reports();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].message.msgType, uint32_t(COIL_CLIENT_REPORT_NO_LOOP));
    EXPECT_EQ(got[0].message.count, 2u);
    EXPECT_EQ(got[0].message.numPorts, 1u);
    EXPECT_EQ(got[0].message.seq, 77u) << "echoed";
    EXPECT_EQ(coiltest::egressPorts(h_.framesOut()).size(), 2u);
    EXPECT_EQ(sr->state, COIL_STATE_INIT);

    // Deregister removes a service; the end of the connection the rest of
    // its services, a running one with its timers (another connection's
    // stay: ClientDaemons.NoFaultOfOneClientCostsAnother..., process).
    a.registerService("bgp", 100);
    a.start("bgp", 100, 0, 1);
    a.deregister("ospf", 100);
    EXPECT_EQ(findCoilServiceNode("ospf", 100), nullptr);
    a.close();
    EXPECT_EQ(serviceCount(), 0);
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
    // The report's fields: ClientDaemons.WatchReportsEachLoopOncePerInterval (process).
    std::vector<coilClientReport> got = a.reports();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].message.msgType, uint32_t(COIL_CLIENT_REPORT_LOOP));
    EXPECT_EQ(findCoilServiceNode("ospf", 100)->state, COIL_STATE_INIT);
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

// A Start Poll within the interval of the last one is applied and its poll
// waits for the interval's end (here 4 s after the first, 3 s after it).
TEST_F(ClientDaemons, AStartPollWithinTheIntervalStartsItsPollAtTheIntervalsEnd) {
    coiltest::giveLink({port(1, 1)});
    Client a(run_.path);
    a.registerService("ospf", 100);
    a.start("ospf", 100, 1, 4, {{1, 1}});
    ASSERT_EQ(h_.framesOut().size(), 1u);
    h_.advance(1);
    a.start("ospf", 100, 1, 4, {{1, 1}});
    h_.clearFrames();
    h_.advance(2);
    EXPECT_TRUE(h_.framesOut().empty()) << "started before the interval's end";
    h_.advance(2);
    EXPECT_EQ(h_.framesOut().size(), 1u);
}

// The daemon bounds what it queues for a client that reads nothing at 8 KiB
// (framed messages of 1176 bytes); beyond that it drops, never blocks, and
// the queue drains in order once the client reads.
TEST_F(ClientDaemons, ASlowClientQueuesUpTo8KiBThenLosesMessagesButNeverBlocks) {
    Client a(run_.path);
    const uint32_t peer = peers().at(0);
    auto send = [&](uint32_t seq) {
        bmPacket_t* p = bmAllocPacket(1172, 32, 1);
        std::memset(p->data, 0, 1172);
        std::memcpy(p->data, &seq, sizeof seq);
        p->length = 1172;
        const int result = ipmlSend(peer, p, 0);
        if (result < 0 && result != IPML_QUEUED) bmFree(p);
        return result;
    };
    // The socket fills, then the queue, then a send fails.
    std::vector<int> results;
    for (uint32_t seq = 0; results.empty() || results.back() != mira::kIpmlQueueFull; seq++) {
        ASSERT_LT(seq, 100000u) << "the queue never filled";
        results.push_back(send(seq));
    }
    EXPECT_EQ(results.front(), 0);
    // Six framed messages fit in 8192 bytes, besides the rest of one the socket took in part.
    const auto queued = std::count(results.begin(), results.end(), IPML_QUEUED);
    EXPECT_TRUE(queued == 6 || queued == 7) << queued;
    const mira::IpmlPeerStats stats = mira::ipmlPeerStats(peer);
    EXPECT_LE(stats.queuedBytes, 8192u);
    EXPECT_GT(stats.queuedBytes + 1176, 8192u);
    EXPECT_EQ(stats.dropped, 1u);

    const uint32_t accepted = uint32_t(results.size() - 1);
    std::vector<uint8_t> stream;
    for (int rounds = 0; rounds < 10000 && stream.size() < accepted * 1176u; rounds++) {
        uint8_t chunk[65536];
        const ssize_t n = ::recv(a.fd(), chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) stream.insert(stream.end(), chunk, chunk + n);
        mira::drain();
    }
    ASSERT_EQ(stream.size(), accepted * 1176u);
    for (uint32_t i = 0; i < accepted; i++) {
        uint32_t got;
        std::memcpy(&got, stream.data() + i * 1176 + 4, sizeof got);
        ASSERT_EQ(got, i) << "message " << i;
    }
    EXPECT_EQ(mira::ipmlPeerStats(peer).queuedBytes, 0u);
    EXPECT_EQ(send(0), 0) << "sends go straight out again";
}

}  // namespace
