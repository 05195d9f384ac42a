// The messaging library's server over its Unix socket, with raw client
// sockets: peers, framing, refused frames, sending to slow and gone peers.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/reset.h"
#include "bm.h"
#include "dispatch.h"
#include "ds.h"
#include "ipml.h"
#include "mira/core/ipml_wire.h"
#include "mira/core/loop.h"
#include "mira/core/platform.h"

namespace {

constexpr uint16_t kPort = 7300;

struct Seen {
    std::vector<std::pair<int, uint32_t>> events;  // opcode, peer
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> messages;
    int refuseNext = 0;
} seen;

int peerCallback(void*, int opcode, void* data, int length) {
    EXPECT_EQ(length, IPML_PEER_EVENT_SIZE);
    uint32_t peer;
    std::memcpy(&peer, data, sizeof peer);
    seen.events.emplace_back(opcode, peer);
    if (opcode == IPML_PEER_NEW && seen.refuseNext > 0) return seen.refuseNext--, -1;
    return 0;
}

int receive(void*, uint32_t peer, bmPacket_t* packet, int length) {
    EXPECT_EQ(uint32_t(length), packet->length);
    seen.messages.emplace_back(peer, std::vector<uint8_t>(packet->data, packet->data + packet->length));
    bmFree(packet);
    return 0;
}

std::vector<uint8_t> frame(const std::vector<uint8_t>& body, uint32_t claimed) {
    std::vector<uint8_t> f(4 + body.size());
    for (int i = 0; i < 4; i++) f[i] = uint8_t(claimed >> (24 - 8 * i));
    std::copy(body.begin(), body.end(), f.begin() + 4);
    return f;
}
std::vector<uint8_t> frame(const std::vector<uint8_t>& body) { return frame(body, uint32_t(body.size())); }

class IpmlServer : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/coil-transport-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        mira::useVirtualTime();
        coiltest::resetDaemonAndPlatform();
        mira::setRunDir(dir_);
        mira::logDiscard();
        seen = {};
        server_ = ipmlInitServerClient(0, kPort, 1, peerCallback, nullptr);
        ASSERT_NE(server_, nullptr);
        rec_.fd = server_->fd;
        rec_.handler = receive;
        ASSERT_EQ(dispatchAddServer(&rec_), 0);
    }
    void TearDown() override {
        for (int fd : clients_) ::close(fd);
        coiltest::resetDaemonAndPlatform();
        mira::setRunDir("");
        std::filesystem::remove_all(dir_);
    }

    int connectClient() {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, mira::ipmlSocketPath(kPort).c_str());
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
        clients_.push_back(fd);
        mira::drain();
        return fd;
    }
    void closeClient(int fd) {
        ::close(fd);
        std::erase(clients_, fd);
        mira::drain();
    }
    static void write(int fd, const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }
    uint32_t lastPeer() const { return seen.events.empty() ? 0 : seen.events.back().second; }

    static bmPacket_t* packetOf(const std::vector<uint8_t>& bytes) {
        bmPacket_t* p = bmAllocPacket(uint32_t(bytes.size()), 32, 1);
        std::memcpy(p->data, bytes.data(), bytes.size());
        p->length = uint32_t(bytes.size());
        return p;
    }

    std::string dir_;
    ipmlHandle_t server_ = nullptr;
    dispatchServerRec_t rec_{};
    std::vector<int> clients_;
};

TEST_F(IpmlServer, AnOversizedFrameEndsItsPeerBeforeTheBodyIsSent) {
    int bad = connectClient();
    const uint32_t badPeer = lastPeer();
    int good = connectClient();

    write(bad, frame({}, mira::kIpmlMaxMessage + 1));  // the header alone
    write(good, frame({7}));
    mira::drain();
    EXPECT_EQ(seen.events.back(), (std::pair<int, uint32_t>{IPML_PEER_DEAD, badPeer}));
    ASSERT_EQ(seen.messages.size(), 1u);
    EXPECT_EQ(seen.messages[0].second, std::vector<uint8_t>{7});
    char byte;
    EXPECT_EQ(::recv(bad, &byte, 1, 0), 0) << "the server closed the connection";

    // A frame cut off by its connection's end is lost with it.
    int cut = connectClient();
    std::vector<uint8_t> partial = frame(std::vector<uint8_t>(100, 1), 1172);
    write(cut, partial);
    mira::drain();
    closeClient(cut);
    EXPECT_EQ(seen.messages.size(), 1u);
    EXPECT_EQ(seen.events.back().first, IPML_PEER_DEAD);
}

TEST_F(IpmlServer, ASlowPeerQueuesUpToItsBoundThenLosesMessagesButNeverBlocks) {
    int fd = connectClient();
    const uint32_t peer = lastPeer();
    ASSERT_EQ(ipmlSetPeerOption(peer, 3, 8192), 0);

    // The peer reads nothing: the socket fills, then the queue, then sends fail.
    std::vector<int> results;
    uint32_t seq = 0;
    while (results.empty() || results.back() != mira::kIpmlQueueFull) {
        ASSERT_LT(seq, 100000u) << "the queue never filled";
        std::vector<uint8_t> body(1172);
        std::memcpy(body.data(), &seq, sizeof seq);
        bmPacket_t* packet = packetOf(body);
        results.push_back(ipmlSend(peer, packet, 0));
        if (results.back() < 0 && results.back() != IPML_QUEUED) bmFree(packet);
        seq++;
    }
    EXPECT_EQ(results.front(), 0);
    // Six framed messages fit in 8192 bytes, besides the rest of one the
    // socket took in part.
    const auto queued = std::count(results.begin(), results.end(), IPML_QUEUED);
    EXPECT_TRUE(queued == 6 || queued == 7) << queued;
    mira::IpmlPeerStats stats = mira::ipmlPeerStats(peer);
    EXPECT_LE(stats.queuedBytes, 8192u);
    EXPECT_GT(stats.queuedBytes + 1176, 8192u);
    EXPECT_EQ(stats.dropped, 1u);
    const uint32_t accepted = seq - 1;

    // Once the peer reads, the queue drains in order through the loop.
    std::vector<uint8_t> stream;
    for (int rounds = 0; rounds < 10000 && stream.size() < accepted * 1176u; rounds++) {
        uint8_t chunk[65536];
        ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
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
    EXPECT_EQ(ipmlSend(peer, packetOf({1}), 0), 0) << "sends go straight out again";
}

}  // namespace
