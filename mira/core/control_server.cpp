// The control socket's listener and connections on the loop.
#include "mira/core/control_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "mira/core/control_dispatch.h"
#include "mira/control/control_frame.h"
#include "mira/core/loop.h"
#include "mira/core/peer_cred.h"
#include "mira/core/platform.h"

namespace mira::control {

namespace {

// How long a reply may wait for a client that does not read.
constexpr int kSendTimeoutMs = 2000;
constexpr size_t kReadChunk = size_t{16} * 1024;

struct Connection {
    int fd = -1;
    FrameReader reader{kMaxRequestPayload};
    uint64_t idleItem = 0;
};

struct Server {
    int listenFd = -1;
    std::string runDir;
    std::string path;
    std::map<int, std::unique_ptr<Connection>> connections;
};

Server& server() {
    static Server s;
    return s;
}

bool sendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, kSendTimeoutMs) > 0) continue;
        }
        return false;
    }
    return true;
}

void closeConnection(int fd) {
    auto it = server().connections.find(fd);
    if (it == server().connections.end()) return;
    if (it->second->idleItem) removeWorkItem(it->second->idleItem);
    removeFd(fd);
    ::close(fd);
    server().connections.erase(it);
}

bool sendReply(int fd, const std::string& payload) { return sendAll(fd, encodeFrame(kTypeReply, payload)); }

void sendError(int fd, const std::string& why) { sendReply(fd, encodeMessage(errorReply(why))); }

void armIdleTimer(Connection& c) {
    if (c.idleItem) removeWorkItem(c.idleItem);
    const int fd = c.fd;
    c.idleItem = addWorkItem(kIdleTimeoutUsec, false, [fd] {
        auto it = server().connections.find(fd);
        if (it == server().connections.end()) return;
        it->second->idleItem = 0;
        if (it->second->reader.buffered() > 0)
            sendError(fd, "incomplete request: no more bytes within " + std::to_string(kIdleTimeoutUsec / 1'000'000) +
                              " seconds (" + std::to_string(it->second->reader.missing()) + " missing)");
        closeConnection(fd);
    });
}

// Answers every whole frame read so far; false when the connection was closed.
bool answerFrames(Connection& c) {
    Frame frame;
    for (;;) {
        switch (c.reader.next(&frame)) {
            case FrameReader::Status::NeedMore: return true;
            case FrameReader::Status::TooLarge:
                sendError(c.fd, "request refused: its frame announces " + std::to_string(c.reader.refusedLength()) +
                                    " bytes, more than the largest request of " + std::to_string(kMaxRequestPayload) +
                                    " bytes");
                closeConnection(c.fd);
                return false;
            case FrameReader::Status::Ready:
            {
                const int fd = c.fd;
                const bool sent = sendReply(fd, answerRequest(frame.type, frame.payload, server().runDir));
                // The request may have stopped the server (and so this connection).
                if (server().connections.count(fd) == 0) return false;
                // A client that does not take its reply loses its connection,
                // so that requests it queued cannot hold the loop again.
                if (!sent) {
                    closeConnection(fd);
                    return false;
                }
                armIdleTimer(c);
                break;
            }
        }
    }
}

void onConnectionEvent(int fd, int cond) {
    auto it = server().connections.find(fd);
    if (it == server().connections.end()) return;
    Connection& c = *it->second;
    bool ended = cond != 0;
    char chunk[kReadChunk];
    while (!ended) {
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            c.reader.feed(chunk, size_t(n));
            if (!answerFrames(c)) return;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        ended = true;  // end of stream or a broken connection
    }
    if (c.reader.buffered() > 0)
        sendError(fd, "truncated request: the connection ended " + std::to_string(c.reader.missing()) +
                          " bytes before the end of the frame");
    closeConnection(fd);
}

void onListenReadable(int, int cond) {
    if (cond != 0) return;
    for (;;) {
        int fd = ::accept4(server().listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            return;
        }
        PeerIdentity peer;
        if (!peerIdentity(fd, &peer) || !controlPeerAllowed(peer, ::geteuid())) {
            logLine("WARNING", "control", "refused a connection from uid " + std::to_string(peer.uid));
            ::close(fd);
            continue;
        }
        if (server().connections.size() >= kMaxConnections) {
            sendError(fd, "too many connections");
            ::close(fd);
            continue;
        }
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        Connection& ref = *c;
        server().connections.emplace(fd, std::move(c));
        if (!addFd(fd, [fd](int cond) { onConnectionEvent(fd, cond); })) {
            server().connections.erase(fd);
            ::close(fd);
            continue;
        }
        armIdleTimer(ref);
    }
}

// True when a process answers on the socket already.
bool socketInUse(const sockaddr_un& addr) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool live = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return live;
}

}  // namespace

bool startControlServer(const std::string& runDir, std::string* error, bool serveNow) {
    Server& s = server();
    if (s.listenFd >= 0) stopControlServer();
    const std::string path = controlSocketPath(runDir);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        *error = "socket path " + path + " is too long (at most " + std::to_string(sizeof addr.sun_path - 1) +
                 " characters)";
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (socketInUse(addr)) {
        *error = "another coild serves " + path;
        return false;
    }
    ::unlink(path.c_str());  // a socket left by a daemon that died

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("cannot create the control socket: ") + std::strerror(errno);
        return false;
    }
    // Owner-only from the moment it exists.
    const mode_t oldMask = ::umask(0077);
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    ::umask(oldMask);
    if (bound != 0 || ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 16) != 0) {
        *error = "cannot listen on " + path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    s.listenFd = fd;
    s.runDir = runDir;
    s.path = path;
    if (serveNow) serveControlSocket();
    return true;
}

void serveControlSocket() {
    Server& s = server();
    if (s.listenFd >= 0) addFd(s.listenFd, [](int cond) { onListenReadable(-1, cond); });
}

void stopControlServer() {
    Server& s = server();
    while (!s.connections.empty()) closeConnection(s.connections.begin()->first);
    if (s.listenFd >= 0) {
        removeFd(s.listenFd);
        ::close(s.listenFd);
        ::unlink(s.path.c_str());
    }
    s.listenFd = -1;
    s.path.clear();
    s.runDir.clear();
}

}  // namespace mira::control
