// Inter-process messaging, minimal in-process form: client connections are
// plain handles (no descriptor); a server connection owns an eventfd that
// becomes readable when messages or peer events wait in its inbox. Tests and
// the stand-in fill the inbox (injectServerMessage, injectPeerEvent); the
// dispatcher services the descriptor. Sends go to a sink function. Peer
// options and groups are recorded, not acted on.
#include "ipml.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "mira/core_internal.h"
#include "mira/loop.h"
#include "mira/platform.h"

namespace {

struct Inbound {
    bool isMessage;
    uint32_t peer;
    int opcode;
    std::vector<uint8_t> bytes;
};

struct Conn {
    ipmlConn_t pub{-1};
    bool isServer = false;
    uint16_t port = 0;
    ipmlPeerCallback_t peerCallback = nullptr;
    void* context = nullptr;
    std::deque<Inbound> inbox;
};

struct Group {
    ipmlConn_t* server;
    std::set<uint32_t> peers;
};

struct Ipml {
    std::map<const void*, std::unique_ptr<Conn>> conns;
    std::map<ipmlGroup_t, Group> groups;
    ipmlGroup_t nextGroup = 1;
    mira::SendSink sendSink;
    bool failClient = false;

    ~Ipml() {
        for (auto& [_, c] : conns)
            if (c->pub.fd >= 0) ::close(c->pub.fd);
    }
};

Ipml& ipml() {
    static Ipml instance;
    return instance;
}

Conn* connOf(const void* handle) {
    auto it = ipml().conns.find(handle);
    return it == ipml().conns.end() ? nullptr : it->second.get();
}

Conn* serverByFd(int fd) {
    if (fd < 0) return nullptr;
    for (auto& [_, c] : ipml().conns)
        if (c->isServer && c->pub.fd == fd) return c.get();
    return nullptr;
}

Conn* serverByPort(uint16_t port) {
    for (auto& [_, c] : ipml().conns)
        if (c->isServer && c->port == port) return c.get();
    return nullptr;
}

ipmlHandle_t adopt(std::unique_ptr<Conn> conn) {
    ipmlHandle_t handle = &conn->pub;
    ipml().conns.emplace(handle, std::move(conn));
    return handle;
}

bool enqueue(uint16_t port, Inbound item) {
    Conn* server = serverByPort(port);
    if (!server) return false;
    server->inbox.push_back(std::move(item));
    uint64_t one = 1;
    return ::write(server->pub.fd, &one, sizeof one) == sizeof one;
}

}  // namespace

ipmlHandle_t ipmlInitClient(int, int, int) {
    if (ipml().failClient) return nullptr;
    return adopt(std::make_unique<Conn>());
}

int ipmlClose(ipmlHandle_t handle) {
    Conn* conn = connOf(handle);
    if (!conn) return -1;
    if (conn->pub.fd >= 0) {
        mira::removeFd(conn->pub.fd);
        ::close(conn->pub.fd);
    }
    std::erase_if(ipml().groups, [handle](const auto& g) { return g.second.server == handle; });
    ipml().conns.erase(handle);
    return 0;
}

ipmlHandle_t ipmlInitServerClient(int, uint16_t port, int, ipmlPeerCallback_t cb, void* context) {
    if (serverByPort(port)) return nullptr;  // the port is taken
    int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return nullptr;
    auto conn = std::make_unique<Conn>();
    conn->pub.fd = fd;
    conn->isServer = true;
    conn->port = port;
    conn->peerCallback = cb;
    conn->context = context;
    return adopt(std::move(conn));
}

ipmlGroup_t ipmlCreateGroup(ipmlHandle_t server, int) {
    Conn* conn = connOf(server);
    if (!conn || !conn->isServer) return 0;
    ipmlGroup_t id = ipml().nextGroup++;
    ipml().groups[id] = Group{server, {}};
    return id;
}

int ipmlSetPeerOption(uint32_t peer, int, int) { return peer ? 0 : -1; }

int ipmlAddPeerToGroup(ipmlGroup_t group, uint32_t peer) {
    auto it = ipml().groups.find(group);
    if (it == ipml().groups.end()) return -1;
    it->second.peers.insert(peer);
    return 0;
}

int ipmlRemovePeerFromGroup(ipmlGroup_t group, uint32_t peer) {
    auto it = ipml().groups.find(group);
    if (it == ipml().groups.end()) return -1;
    return it->second.peers.erase(peer) ? 0 : -1;
}

int ipmlSend(uint32_t peer, bmPacket_t* packet, int) {
    if (!packet || !packet->data || peer == 0) return -1;  // not taken: the caller still owns it
    uint32_t length = packet->length <= packet->size ? packet->length : packet->size;
    if (ipml().sendSink) ipml().sendSink(peer, std::span<const uint8_t>(packet->data, length));
    bmFree(packet);
    return 0;
}

namespace mira {

bool injectServerMessage(uint16_t port, uint32_t peer, std::vector<uint8_t> bytes) {
    if (bytes.empty()) return false;
    return enqueue(port, Inbound{true, peer, 0, std::move(bytes)});
}

bool injectPeerEvent(uint16_t port, int opcode, uint32_t peer) { return enqueue(port, Inbound{false, peer, opcode, {}}); }

void setSendSink(SendSink sink) { ipml().sendSink = std::move(sink); }

void failIpmlInitClient(bool fail) { ipml().failClient = fail; }

namespace core {

bool ipmlIsServerFd(int fd) { return serverByFd(fd) != nullptr; }

int ipmlConnFd(const void* handle) {
    Conn* conn = connOf(handle);
    return conn ? conn->pub.fd : -2;
}

bool ipmlServerService(int fd, const ServerDeliver& deliver) {
    Conn* server = serverByFd(fd);
    if (!server) return false;
    uint64_t count;
    while (::read(fd, &count, sizeof count) == sizeof count) {
    }
    std::deque<Inbound> work = std::move(server->inbox);
    server->inbox.clear();
    const void* handle = &server->pub;
    for (Inbound& item : work) {
        Conn* live = connOf(handle);  // a handler may have closed the server
        if (!live) break;
        if (item.isMessage) {
            bmPacket_t* packet = bmAllocPacket(uint32_t(item.bytes.size()), 0, 0);
            if (!packet) continue;
            std::memcpy(packet->data, item.bytes.data(), item.bytes.size());
            packet->length = uint32_t(item.bytes.size());
            deliver(item.peer, packet, int(item.bytes.size()));
        } else if (live->peerCallback) {
            uint8_t data[IPML_PEER_EVENT_SIZE] = {};
            std::memcpy(data, &item.peer, sizeof item.peer);
            live->peerCallback(live->context, item.opcode, data, IPML_PEER_EVENT_SIZE);
        }
    }
    return true;
}

void resetIpml() {
    Ipml& m = ipml();
    for (auto& [_, c] : m.conns)
        if (c->pub.fd >= 0) ::close(c->pub.fd);
    m.conns.clear();
    m.groups.clear();
    m.sendSink = nullptr;
    m.failClient = false;
}

}  // namespace core
}  // namespace mira
