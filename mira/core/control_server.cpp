// The control socket's listener and connections on the loop.
#include "mira/core/control_server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "mira/core/control_dispatch.h"
#include "mira/control/control_frame.h"
#include "mira/core/loop.h"
#include "mira/core/own_file.h"
#include "mira/core/peer_cred.h"
#include "mira/core/platform.h"
#include "mira/core/socket_output.h"
#include "mira/core/watch_service.h"

namespace mira::control {

namespace {

constexpr size_t kReadChunk = size_t{16} * 1024;

struct Connection {
    int fd = -1;
    FrameReader reader{kMaxRequestPayload};
    uint64_t idleItem = 0;
    std::unique_ptr<SocketOutput> out;
    std::unique_ptr<ReplyStream> reply;  // the reply being sent, while it is
    bool inputPaused = false;
    bool closeWhenSent = false;  // the client has sent all it will send
    bool watching = false;       // receives event frames (kTypeWatch)
};

struct Server {
    int listenFd = -1;
    std::string runDir;
    std::string path;
    OwnFile socketFile;  // the socket file bound, removed at the end only if still there
    std::map<int, std::unique_ptr<Connection>> connections;
};

Server& server() {
    static Server s;
    return s;
}

Connection* connectionOf(int fd) {
    auto it = server().connections.find(fd);
    return it == server().connections.end() ? nullptr : it->second.get();
}

void closeConnection(int fd) {
    auto it = server().connections.find(fd);
    if (it == server().connections.end()) return;
    if (it->second->idleItem) removeWorkItem(it->second->idleItem);
    it->second->out.reset();
    removeFd(fd);
    ::close(fd);
    server().connections.erase(it);
}

void sendError(Connection& c, const std::string& why) {
    sendToClient(c.fd, encodeFrame(kTypeReply, encodeMessage(errorReply(why))));
}

void armIdleTimer(Connection& c) {
    if (c.idleItem) removeWorkItem(c.idleItem);
    const int fd = c.fd;
    c.idleItem = addWorkItem(kIdleTimeoutUsec, false, [fd] {
        Connection* live = connectionOf(fd);
        if (!live) return;
        live->idleItem = 0;
        if (live->watching) return;  // a watcher is silent by design
        // A connection whose reply waits is the output's to judge.
        if (live->reply || live->out->pending() > 0) return armIdleTimer(*live);
        if (live->reader.buffered() > 0)
            sendError(*live, "incomplete request: no more bytes within " + std::to_string(kIdleTimeoutUsec / 1'000'000) +
                                 " seconds (" + std::to_string(live->reader.missing()) + " missing)");
        closeConnection(fd);
    });
}

void setInputPaused(Connection& c, bool paused) {
    if (c.inputPaused == paused) return;
    c.inputPaused = paused;
    pauseInput(c.fd, paused);
}

// Sends the current reply's next piece when the output has room, and asks
// for the one after it in the loop's next turn, so that a long reply never
// holds the loop for more than one piece. True when the reply is complete;
// false in `alive` when the connection is gone.
bool continueReply(Connection& c, bool* alive) {
    *alive = true;
    const int fd = c.fd;
    if (c.reply && c.out->pending() <= c.out->lowWater()) {
        std::string piece;
        const bool more = c.reply->next(&piece, kReplyPiece);
        // A request may have stopped the server (and so this connection).
        if (!connectionOf(fd)) return *alive = false;
        if (!more) c.reply.reset();
        if (!sendToClient(fd, encodeFrame(more ? kTypeReplyPart : kTypeReply, piece))) return *alive = false;
        if (c.reply) c.out->askForRoom();
    }
    return !c.reply;
}

// Answers the requests read so far, one reply at a time, as far as the
// client takes the replies; reading stops while a reply waits. False when
// the connection was closed.
bool answerFrames(Connection& c) {
    const int fd = c.fd;
    for (;;) {
        bool alive = true;
        const bool done = continueReply(c, &alive);
        if (!alive) return false;
        if (!done || c.out->pending() > c.out->lowWater()) {
            setInputPaused(c, true);
            return true;
        }
        Frame frame;
        switch (c.reader.next(&frame)) {
            case FrameReader::Status::NeedMore: setInputPaused(c, false); return true;
            case FrameReader::Status::TooLarge:
                sendError(c, "request refused: its frame announces " + std::to_string(c.reader.refusedLength()) +
                                 " bytes, more than the largest request of " + std::to_string(kMaxRequestPayload) +
                                 " bytes");
                closeConnection(fd);
                return false;
            case FrameReader::Status::Ready:
                // A watcher's stream carries events; requests go on another connection.
                if (c.watching) {
                    closeConnection(fd);
                    return false;
                }
                if (frame.type == kTypeWatch) {
                    c.watching = true;
                    c.reply = wholeReply(encodeMessage(Message().add("status", "ok")));
                    break;
                }
                c.reply = startReply(frame.type, frame.payload, server().runDir);
                if (!connectionOf(fd)) return false;
                armIdleTimer(c);
                break;
        }
    }
}

bool replyWaits(const Connection& c) { return c.reply || c.out->pending() > 0; }

void onConnectionEvent(int fd, int cond) {
    Connection* c = connectionOf(fd);
    if (!c) return;
    bool ended = cond != 0;
    if (cond == -999 && replyWaits(*c)) {
        // The client stopped sending and waits for its replies: keep
        // writing (the loop no longer watches a descriptor after a hangup).
        if (!addFd(fd, [fd](int cond) { onConnectionEvent(fd, cond); })) return closeConnection(fd);
        c->inputPaused = false;
        setInputPaused(*c, true);
        c->out->rewatch();
    }
    char chunk[kReadChunk];
    while (!ended && !c->inputPaused) {
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            c->reader.feed(chunk, size_t(n));
            if (!answerFrames(*c)) return;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        ended = true;  // end of stream or a broken connection
    }
    if (!ended) return;
    if (c->reader.buffered() > 0 && !replyWaits(*c)) {
        sendError(*c, "truncated request: the connection ended " + std::to_string(c->reader.missing()) +
                          " bytes before the end of the frame");
        closeConnection(fd);
        return;
    }
    if (!replyWaits(*c) || cond == -998) return closeConnection(fd);
    c->closeWhenSent = true;
    setInputPaused(*c, true);
}

void onOutputRoom(int fd) {
    Connection* c = connectionOf(fd);
    if (!c || !answerFrames(*c)) return;
    if (c->closeWhenSent && !replyWaits(*c)) closeConnection(fd);
}

void onOutputFailed(int fd, const std::string& why) {
    logLine("WARNING", "control", "dropped a client: " + why);
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
            const std::string refusal = encodeFrame(kTypeReply, encodeMessage(errorReply("too many connections")));
            ::send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(fd);
            continue;
        }
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        c->out = std::make_unique<SocketOutput>(
            fd, SocketOutput::Limits{kMaxPendingOutput, kOutputDeadlineUsec}, [fd] { onOutputRoom(fd); },
            [fd](const std::string& why) { onOutputFailed(fd, why); });
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

// An event of the daemon to every watching connection.
void sendEvent(const Message& event) {
    const std::string frame = encodeFrame(kTypeEvent, encodeMessage(event));
    std::vector<int> watchers;
    for (const auto& [fd, c] : server().connections)
        if (c->watching) watchers.push_back(fd);
    for (int fd : watchers) sendToClient(fd, frame);
}

}  // namespace

bool sendToClient(int fd, std::string_view bytes) {
    Connection* c = connectionOf(fd);
    if (!c) return false;
    if (c->out->send(bytes)) return true;
    logLine("WARNING", "control", "dropped a client: it does not read what it is sent");
    closeConnection(fd);
    return false;
}

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
    s.socketFile = ownFileAt(path);
    if (serveNow) serveControlSocket();
    setWatchSink(sendEvent);
    return true;
}

void serveControlSocket() {
    Server& s = server();
    if (s.listenFd >= 0) addFd(s.listenFd, [](int cond) { onListenReadable(-1, cond); });
}

void stopControlServer() {
    Server& s = server();
    setWatchSink(nullptr);
    while (!s.connections.empty()) closeConnection(s.connections.begin()->first);
    if (s.listenFd >= 0) {
        removeFd(s.listenFd);
        ::close(s.listenFd);
        removeOwnFile(s.path, s.socketFile);
    }
    s.listenFd = -1;
    s.path.clear();
    s.runDir.clear();
}

}  // namespace mira::control
