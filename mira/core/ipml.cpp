// Inter-process messaging. Client connections are plain handles (the
// directory service is in-process). A server connection listens on a Unix
// stream socket in the run directory (mira/ipml_wire.h); each process that
// connects is a peer with its own nonzero identifier. The server's
// descriptor, the one the dispatcher watches, is an epoll set holding the
// listening socket, every peer's socket and an eventfd for in-process
// injection (tests): it is readable whenever any of them needs attention, and
// servicing it does the accepting, reading, writing and peer events on the
// dispatcher's thread. Without a run directory a server has no socket and
// only takes injected input.
//
// Sending never blocks: what the socket does not take waits in the peer's
// queue, bounded in bytes (peer option 3, default kIpmlDefaultQueueBytes);
// when the queue is full the new message is dropped, counted and ipmlSend
// fails with kIpmlQueueFull. A peer whose connection breaks during a send is
// shut down at once and reported dead at the next servicing, never from
// inside ipmlSend.
#include "ipml.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "mira/core/core_internal.h"
#include "mira/core/ipml_wire.h"
#include "mira/core/loop.h"
#include "mira/core/own_file.h"
#include "mira/core/peer_cred.h"
#include "mira/core/platform.h"

namespace {

using mira::kIpmlFrameHeader;
using mira::kIpmlMaxMessage;

constexpr size_t kReadBudget = size_t{64} * 1024;  // per peer per servicing; the rest waits for the next
constexpr int kAcceptBudget = 16;

// What an epoll entry of a server's set stands for (upper half of its data).
enum Tag : uint32_t { kTagListen = 1, kTagInbox = 2, kTagPeer = 3 };
uint64_t tagged(Tag tag, uint32_t id) { return uint64_t(tag) << 32 | id; }

struct Inbound {
    bool isMessage;
    uint32_t peer;
    int opcode;
    std::vector<uint8_t> bytes;
};

struct Peer {
    uint32_t id = 0;
    int fd = -1;
    uid_t uid = 0;
    uint64_t framesIn = 0;    // whole messages received
    uint64_t idleItem = 0;    // the deadline of a silent or stalled peer
    const void* server = nullptr;
    std::unique_ptr<uint8_t[]> in{new uint8_t[kIpmlFrameHeader + kIpmlMaxMessage]};
    size_t inLen = 0;
    std::deque<std::vector<uint8_t>> out;  // whole frames; the first is sent up to outOffset
    size_t outOffset = 0;
    size_t queued = 0;  // bytes of `out` not yet sent
    size_t queueLimit = mira::kIpmlDefaultQueueBytes;
    uint64_t dropped = 0;
    bool watchingWrite = false;
    bool broken = false;
    bool warnedFull = false;
};

struct Conn {
    ipmlConn_t pub{-1};
    bool isServer = false;
    uint16_t port = 0;
    ipmlPeerCallback_t peerCallback = nullptr;
    void* context = nullptr;
    int listenFd = -1;
    int inboxFd = -1;
    std::string path;
    mira::OwnFile socketFile;  // removed at the end only if still the one bound
    std::deque<Inbound> inbox;
    std::set<uint32_t> peers;
    bool warnedFull = false;  // "too many peers" logged; again once below the bound
    std::set<uid_t> warnedUsers;  // the same per user
};

struct Group {
    ipmlConn_t* server;
    std::set<uint32_t> peers;
};

struct Ipml {
    std::map<const void*, std::unique_ptr<Conn>> conns;
    std::map<uint32_t, std::unique_ptr<Peer>> peers;
    std::map<ipmlGroup_t, Group> groups;
    ipmlGroup_t nextGroup = 1;
    uint32_t lastPeer = 0;
    mira::SendSink sendSink;
    bool failClient = false;

    void closeAll();
    ~Ipml() { closeAll(); }
};

Ipml& ipml() {
    static Ipml instance;
    return instance;
}

void warn(const std::string& text) { mira::logLine("WARNING", "ipml", text); }

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

Peer* peerOf(uint32_t id) {
    auto it = ipml().peers.find(id);
    return it == ipml().peers.end() ? nullptr : it->second.get();
}

ipmlHandle_t adopt(std::unique_ptr<Conn> conn) {
    ipmlHandle_t handle = &conn->pub;
    ipml().conns.emplace(handle, std::move(conn));
    return handle;
}

void putBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}

uint32_t getBe32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// ---- Peers ------------------------------------------------------------------

uint32_t newPeerId() {
    Ipml& m = ipml();
    do {
        ++m.lastPeer;
    } while (m.lastPeer == 0 || m.peers.count(m.lastPeer) > 0);
    return m.lastPeer;
}

// Forgets the peer and closes its socket; no event.
void dropPeer(uint32_t id) {
    Peer* p = peerOf(id);
    if (!p) return;
    if (p->idleItem) mira::removeWorkItem(p->idleItem);
    if (Conn* server = connOf(p->server)) {
        ::epoll_ctl(server->pub.fd, EPOLL_CTL_DEL, p->fd, nullptr);
        server->peers.erase(id);
    }
    ::close(p->fd);
    ipml().peers.erase(id);
}

void callPeerCallback(const void* handle, int opcode, uint32_t id) {
    Conn* server = connOf(handle);
    if (!server || !server->peerCallback) return;
    uint8_t data[IPML_PEER_EVENT_SIZE] = {};
    std::memcpy(data, &id, sizeof id);
    server->peerCallback(server->context, opcode, data, IPML_PEER_EVENT_SIZE);
}

void peerDied(uint32_t id) {
    Peer* p = peerOf(id);
    if (!p) return;
    const void* handle = p->server;
    dropPeer(id);
    callPeerCallback(handle, IPML_PEER_DEAD, id);
}

// Shuts the socket so that the server's set reports it; the dead event
// follows at the next servicing.
void markBroken(Peer* p) {
    p->broken = true;
    ::shutdown(p->fd, SHUT_RDWR);
}

// Disconnects the peer unless it has received a whole message more since
// the deadline was set (the dead event follows at the next servicing).
void armIdleDeadline(Peer* p) {
    if (p->idleItem) mira::removeWorkItem(p->idleItem);
    const uint32_t id = p->id;
    const uint64_t frames = p->framesIn;
    p->idleItem = mira::addWorkItem(mira::kIpmlIdleUsec, false, [id, frames] {
        Peer* live = peerOf(id);
        if (!live) return;
        live->idleItem = 0;
        if (live->framesIn != frames || live->broken) return;
        warn("peer " + std::to_string(id) + (frames == 0 ? " sent nothing" : " stalled in the middle of a message") +
             " for " + std::to_string(mira::kIpmlIdleUsec / 1'000'000) + " s; disconnected");
        markBroken(live);
    });
}

void watchWrite(Peer* p, bool on) {
    if (p->watchingWrite == on) return;
    Conn* server = connOf(p->server);
    if (!server) return;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | (on ? EPOLLOUT : 0u);
    ev.data.u64 = tagged(kTagPeer, p->id);
    if (::epoll_ctl(server->pub.fd, EPOLL_CTL_MOD, p->fd, &ev) == 0) p->watchingWrite = on;
}

// Sends what waits in the peer's queue until the socket is full.
void flush(Peer* p) {
    while (!p->out.empty()) {
        const std::vector<uint8_t>& front = p->out.front();
        ssize_t n = ::send(p->fd, front.data() + p->outOffset, front.size() - p->outOffset, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n <= 0) {
            markBroken(p);
            return;
        }
        p->outOffset += size_t(n);
        p->queued -= size_t(n);
        if (p->outOffset == front.size()) {
            p->out.pop_front();
            p->outOffset = 0;
        }
    }
    if (p->out.empty()) p->warnedFull = false;
    watchWrite(p, !p->out.empty());
}

// ---- Servicing a server's set -------------------------------------------------

// The user's live peers on the server. Peers that hung up but have not been
// reported dead yet (they are read at the next servicing) do not count: a
// client that reconnects at once is not refused on account of its old self.
size_t livePeersOfUser(const Conn* server, uid_t uid) {
    size_t n = 0;
    for (uint32_t id : server->peers) {
        Peer* p = peerOf(id);
        if (!p || p->uid != uid || p->broken) continue;
        char c;
        if (::recv(p->fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
            markBroken(p);
            continue;
        }
        n++;
    }
    return n;
}

// False, with the connection closed and the reason logged, for a process of
// another user and group, or one beyond the bounds on peers.
bool admit(Conn* server, int fd, uid_t* uid) {
    mira::PeerIdentity who;
    if (!mira::peerIdentity(fd, &who) || !mira::messagePeerAllowed(who, ::geteuid(), ::getegid())) {
        warn("refused a connection to " + server->path + " from uid " + std::to_string(who.uid) + " gid " +
             std::to_string(who.gid));
        ::close(fd);
        return false;
    }
    *uid = who.uid;
    if (livePeersOfUser(server, who.uid) >= mira::kIpmlMaxPeersPerUser) {
        if (server->warnedUsers.insert(who.uid).second)
            warn("too many peers of uid " + std::to_string(who.uid) + " on " + server->path + " (at most " +
                 std::to_string(mira::kIpmlMaxPeersPerUser) + " of one user); refusing its connections");
        ::close(fd);
        return false;
    }
    server->warnedUsers.erase(who.uid);
    if (server->peers.size() >= mira::kIpmlMaxPeers) {
        if (!server->warnedFull)
            warn("too many peers on " + server->path + " (at most " + std::to_string(mira::kIpmlMaxPeers) +
                 "); refusing connections");
        server->warnedFull = true;
        ::close(fd);
        return false;
    }
    if (server->peers.size() + 1 < mira::kIpmlMaxPeers) server->warnedFull = false;
    return true;
}

void acceptPeers(const void* handle) {
    for (int i = 0; i < kAcceptBudget; ++i) {
        Conn* server = connOf(handle);
        if (!server || server->listenFd < 0) return;
        int fd = ::accept4(server->listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        uid_t uid = 0;
        if (!admit(server, fd, &uid)) continue;
        auto peer = std::make_unique<Peer>();
        peer->id = newPeerId();
        peer->fd = fd;
        peer->uid = uid;
        peer->server = handle;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = tagged(kTagPeer, peer->id);
        if (::epoll_ctl(server->pub.fd, EPOLL_CTL_ADD, fd, &ev) != 0) {
            ::close(fd);
            continue;
        }
        const uint32_t id = peer->id;
        server->peers.insert(id);
        armIdleDeadline(peer.get());
        ipml().peers.emplace(id, std::move(peer));
        if (server->peerCallback) {
            uint8_t data[IPML_PEER_EVENT_SIZE] = {};
            std::memcpy(data, &id, sizeof id);
            // A peer the server refuses is disconnected without a dead event.
            if (server->peerCallback(server->context, IPML_PEER_NEW, data, IPML_PEER_EVENT_SIZE) != 0) dropPeer(id);
        }
    }
}

void serviceInbox(const void* handle, const mira::core::ServerDeliver& deliver) {
    Conn* server = connOf(handle);
    uint64_t count;
    while (::read(server->inboxFd, &count, sizeof count) == sizeof count) {
    }
    std::deque<Inbound> work = std::move(server->inbox);
    server->inbox.clear();
    for (Inbound& item : work) {
        Conn* live = connOf(handle);  // a handler may have closed the server
        if (!live) return;
        if (item.isMessage) {
            bmPacket_t* packet = bmAllocPacket(uint32_t(item.bytes.size()), 0, 0);
            if (!packet) continue;
            std::memcpy(packet->data, item.bytes.data(), item.bytes.size());
            packet->length = uint32_t(item.bytes.size());
            deliver(item.peer, packet, int(item.bytes.size()));
        } else {
            callPeerCallback(handle, item.opcode, item.peer);
        }
    }
}

enum class Cut { NeedMore, Delivered, Gone };

// Hands the first whole frame in the peer's buffer to the receiver. An
// oversized length ends the peer before its body is read.
Cut cutFrame(uint32_t id, const mira::core::ServerDeliver& deliver) {
    Peer* p = peerOf(id);
    if (p->inLen < kIpmlFrameHeader) return Cut::NeedMore;
    const uint32_t length = getBe32(p->in.get());
    if (length > kIpmlMaxMessage) {
        warn("peer " + std::to_string(id) + " sent a frame of " + std::to_string(length) + " bytes (at most " +
             std::to_string(kIpmlMaxMessage) + "); disconnected");
        peerDied(id);
        return Cut::Gone;
    }
    if (p->inLen < kIpmlFrameHeader + length) return Cut::NeedMore;
    bmPacket_t* packet = length > 0 ? bmAllocPacket(length, 0, 0) : nullptr;
    if (packet) {
        std::memcpy(packet->data, p->in.get() + kIpmlFrameHeader, length);
        packet->length = length;
    }
    const size_t used = kIpmlFrameHeader + length;
    std::memmove(p->in.get(), p->in.get() + used, p->inLen - used);
    p->inLen -= used;
    p->framesIn++;
    // A frame begun and not finished has the same time as a silent peer.
    if (p->inLen > 0) armIdleDeadline(p);
    else if (p->idleItem) {
        mira::removeWorkItem(p->idleItem);
        p->idleItem = 0;
    }
    if (packet) deliver(id, packet, int(length));
    return Cut::Delivered;
}

void readPeer(uint32_t id, const mira::core::ServerDeliver& deliver) {
    size_t budget = kReadBudget;
    for (;;) {
        Peer* p = peerOf(id);
        if (!p) return;
        if (p->broken) return peerDied(id);
        if (budget == 0) return;  // the set stays readable: the rest comes next time
        const size_t room = kIpmlFrameHeader + kIpmlMaxMessage - p->inLen;
        ssize_t n = ::recv(p->fd, p->in.get() + p->inLen, room, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) return peerDied(id);  // closed, or broken; a partial frame is lost with it
        p->inLen += size_t(n);
        budget -= std::min(budget, size_t(n));
        for (;;) {
            Cut cut = cutFrame(id, deliver);
            if (cut == Cut::Gone) return;
            if (cut == Cut::NeedMore) break;
            Peer* live = peerOf(id);  // the receiver may have closed the server
            if (!live || !connOf(live->server)) return;
        }
        if (p = peerOf(id); p && p->inLen > 0 && p->idleItem == 0) armIdleDeadline(p);
    }
}

void servicePeer(const void* handle, uint32_t id, uint32_t events, const mira::core::ServerDeliver& deliver) {
    Peer* p = peerOf(id);
    if (!p || p->server != handle) return;
    if (events & EPOLLOUT) flush(p);
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR) || p->broken) readPeer(id, deliver);
}

// ---- Server sockets -------------------------------------------------------------

// True when a process answers on the socket already.
bool socketInUse(const sockaddr_un& addr) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool live = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return live;
}

// Listens on the port's socket in the run directory, owner and group only.
int listenOn(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        warn("socket path " + path + " is too long");
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (socketInUse(addr)) {
        warn("another process serves " + path);
        return -1;
    }
    ::unlink(path.c_str());  // left by a process that died
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const mode_t oldMask = ::umask(0117);
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    ::umask(oldMask);
    if (bound != 0 || ::chmod(path.c_str(), 0660) != 0 || ::listen(fd, 64) != 0) {
        warn("cannot listen on " + path + ": " + std::strerror(errno));
        if (bound == 0) ::unlink(path.c_str());
        ::close(fd);
        return -1;
    }
    return fd;
}

bool addToSet(int set, int fd, Tag tag) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = tagged(tag, 0);
    return ::epoll_ctl(set, EPOLL_CTL_ADD, fd, &ev) == 0;
}

void closeServer(Conn& server) {
    std::set<uint32_t> peers = server.peers;
    for (uint32_t id : peers) dropPeer(id);
    if (server.listenFd >= 0) {
        ::close(server.listenFd);
        mira::removeOwnFile(server.path, server.socketFile);
    }
    if (server.inboxFd >= 0) ::close(server.inboxFd);
    if (server.pub.fd >= 0) ::close(server.pub.fd);
    server.listenFd = server.inboxFd = server.pub.fd = -1;
}

void Ipml::closeAll() {
    for (auto& [_, c] : conns)
        if (c->isServer) closeServer(*c);
    conns.clear();
    peers.clear();
    groups.clear();
}

}  // namespace

ipmlHandle_t ipmlInitClient(int, int, int) {
    if (ipml().failClient) return nullptr;
    return adopt(std::make_unique<Conn>());
}

int ipmlClose(ipmlHandle_t handle) {
    Conn* conn = connOf(handle);
    if (!conn) return -1;
    if (conn->isServer) {
        mira::removeFd(conn->pub.fd);
        closeServer(*conn);
    }
    std::erase_if(ipml().groups, [handle](const auto& g) { return g.second.server == handle; });
    ipml().conns.erase(handle);
    return 0;
}

ipmlHandle_t ipmlInitServerClient(int, uint16_t port, int, ipmlPeerCallback_t cb, void* context) {
    if (serverByPort(port)) return nullptr;  // the port is taken
    auto conn = std::make_unique<Conn>();
    conn->isServer = true;
    conn->port = port;
    conn->peerCallback = cb;
    conn->context = context;
    conn->pub.fd = ::epoll_create1(EPOLL_CLOEXEC);
    conn->inboxFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    bool ok = conn->pub.fd >= 0 && conn->inboxFd >= 0 && addToSet(conn->pub.fd, conn->inboxFd, kTagInbox);
    if (ok && !mira::runDir().empty()) {
        conn->path = mira::runDir() + "/" + mira::ipmlSocketName(port);
        conn->listenFd = listenOn(conn->path);
        conn->socketFile = mira::ownFileAt(conn->path);
        ok = conn->listenFd >= 0 && addToSet(conn->pub.fd, conn->listenFd, kTagListen);
    }
    if (!ok) {
        closeServer(*conn);
        return nullptr;
    }
    return adopt(std::move(conn));
}

ipmlGroup_t ipmlCreateGroup(ipmlHandle_t server, int) {
    Conn* conn = connOf(server);
    if (!conn || !conn->isServer) return 0;
    ipmlGroup_t id = ipml().nextGroup++;
    ipml().groups[id] = Group{server, {}};
    return id;
}

// Option 3 bounds the peer's send queue (bytes); other options are accepted
// and have no effect here.
int ipmlSetPeerOption(uint32_t peer, int option, int value) {
    if (peer == 0) return -1;
    Peer* p = peerOf(peer);
    if (option == 3 && p && value >= 0) p->queueLimit = size_t(value);
    return 0;
}

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
    if (!packet || !packet->data || peer == 0) return mira::kIpmlBadPacket;
    const uint32_t length = packet->length <= packet->size ? packet->length : packet->size;
    if (ipml().sendSink) {
        ipml().sendSink(peer, std::span<const uint8_t>(packet->data, length));
        bmFree(packet);
        return 0;
    }
    if (length == 0 || length > kIpmlMaxMessage) return mira::kIpmlBadPacket;
    Peer* p = peerOf(peer);
    if (!p || p->broken) return mira::kIpmlNoPeer;

    std::vector<uint8_t> frame(kIpmlFrameHeader + length);
    putBe32(frame.data(), length);
    std::memcpy(frame.data() + kIpmlFrameHeader, packet->data, length);
    size_t sent = 0;
    if (p->out.empty()) {
        for (;;) {
            ssize_t n = ::send(p->fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent += size_t(n);
            if (sent == frame.size()) {
                bmFree(packet);
                return 0;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (n <= 0) {
                markBroken(p);
                return mira::kIpmlNoPeer;
            }
        }
    }
    // A frame begun on the socket must be finished, whatever the bound.
    if (sent == 0 && p->queued + frame.size() > p->queueLimit) {
        p->dropped++;
        if (!p->warnedFull) {
            warn("peer " + std::to_string(peer) + " does not read; dropping its messages");
            p->warnedFull = true;
        }
        return mira::kIpmlQueueFull;
    }
    p->queued += frame.size() - sent;
    p->out.push_back(std::move(frame));
    if (p->out.size() == 1) p->outOffset = sent;
    watchWrite(p, true);
    bmFree(packet);
    return IPML_QUEUED;
}

namespace mira {

std::string ipmlSocketName(uint16_t port) { return "ipml-" + std::to_string(port) + ".sock"; }

std::string ipmlSocketPath(uint16_t port) {
    Conn* server = serverByPort(port);
    return server ? server->path : std::string();
}

std::vector<uint32_t> ipmlPeers(uint16_t port) {
    Conn* server = serverByPort(port);
    return server ? std::vector<uint32_t>(server->peers.begin(), server->peers.end()) : std::vector<uint32_t>{};
}

IpmlPeerStats ipmlPeerStats(uint32_t peer) {
    Peer* p = peerOf(peer);
    if (!p) return {};
    return IpmlPeerStats{true, p->queued, p->queueLimit, p->dropped};
}

bool injectServerMessage(uint16_t port, uint32_t peer, std::vector<uint8_t> bytes) {
    Conn* server = serverByPort(port);
    if (bytes.empty() || !server) return false;
    server->inbox.push_back(Inbound{true, peer, 0, std::move(bytes)});
    uint64_t one = 1;
    return ::write(server->inboxFd, &one, sizeof one) == sizeof one;
}

bool injectPeerEvent(uint16_t port, int opcode, uint32_t peer) {
    Conn* server = serverByPort(port);
    if (!server) return false;
    server->inbox.push_back(Inbound{false, peer, opcode, {}});
    uint64_t one = 1;
    return ::write(server->inboxFd, &one, sizeof one) == sizeof one;
}

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
    const void* handle = &server->pub;
    epoll_event events[32];
    const int n = ::epoll_wait(fd, events, 32, 0);
    for (int i = 0; i < n; ++i) {
        if (!connOf(handle)) break;  // a handler closed the server
        const auto tag = Tag(events[i].data.u64 >> 32);
        const auto id = uint32_t(events[i].data.u64);
        if (tag == kTagListen) acceptPeers(handle);
        else if (tag == kTagInbox) serviceInbox(handle, deliver);
        else if (tag == kTagPeer) servicePeer(handle, id, events[i].events, deliver);
    }
    return true;
}

void resetIpml() {
    Ipml& m = ipml();
    m.closeAll();
    m.sendSink = nullptr;
    m.failClient = false;
    m.nextGroup = 1;
    m.lastPeer = 0;
}

}  // namespace core
}  // namespace mira
