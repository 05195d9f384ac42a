// The distribution managers' link between two coild processes, on the loop.
#include "mira/core/dm_link.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "dm.h"
#include "mira/control/control_frame.h"
#include "mira/core/loop.h"
#include "mira/core/peer_cred.h"
#include "mira/core/platform.h"
#include "mira/core/socket_output.h"

namespace mira::dmlink {

namespace {

using control::Frame;
using control::FrameReader;

constexpr size_t kReadChunk = size_t{16} * 1024;
// The daemon reports process state 9 once its configuration is loaded:
// before that a backup could not apply the primary's records.
constexpr int kStateConfigLoaded = 9;

struct Link {
    std::string socketPath, lockPath;
    int lockFd = -1;    // held while this side listens
    int listenFd = -1;
    int connFd = -1;
    std::unique_ptr<FrameReader> reader;
    std::unique_ptr<SocketOutput> out;
    bool warnedForeign = false;  // a listener of another user, logged once
    bool helloSent = false, helloReceived = false, isUp = false;
    uint64_t retryItem = 0;
};

Link& link() {
    static Link l;
    return l;
}

void note(const char* severity, const std::string& text) { logLine(severity, "dm", text); }

const char* roleName(uint32_t nodeState) {
    switch (nodeState) {
        case DM_NODE_STATE_PRIMARY: return "primary";
        case DM_NODE_STATE_BACKUP: return "backup";
        case DM_NODE_STATE_STANDBY: return "standby";
        default: return "of no role";
    }
}

std::string be32(uint32_t v) {
    const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return std::string(b, 4);
}

uint32_t readBe32(const std::string& s) {
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Closes the connection. A link that was up takes checkpointing down, and
// a backup that loses its peer becomes the primary.
void drop(const std::string& why) {
    Link& l = link();
    if (l.connFd < 0) return;
    l.out.reset();
    removeFd(l.connFd);
    ::close(l.connFd);
    l.connFd = -1;
    l.reader.reset();
    const bool wasUp = l.isUp;
    l.isUp = l.helloSent = l.helloReceived = false;
    note(wasUp ? "WARNING" : "INFO", "checkpoint link down: " + why);
    if (!wasUp) return;
    setCheckpointing(false);
    if (dmConfig.node_state == DM_NODE_STATE_BACKUP) {
        note("WARNING", "the primary module is gone: this module becomes the primary");
        setNodeRole(DM_NODE_STATE_PRIMARY);
    }
}

bool sendFrame(uint32_t type, const std::string& payload) {
    Link& l = link();
    if (l.connFd < 0) return false;
    if (l.out->send(control::encodeFrame(type, payload))) return true;
    drop("the peer does not take the checkpoints (more than " + std::to_string(kMaxQueued / 1024) +
         " kB would wait)");
    return false;
}

void maybeUp() {
    Link& l = link();
    if (l.isUp || !l.helloSent || !l.helloReceived) return;
    l.isUp = true;
    note("INFO", "checkpoint link up");
    setCheckpointing(true);
}

void sendHelloWhenReady() {
    Link& l = link();
    if (l.connFd < 0 || l.helloSent || ownProcessState() < kStateConfigLoaded) return;
    if (!sendFrame(kLinkHello, be32(dmConfig.node_state))) return;
    l.helloSent = true;
    maybeUp();
}

// Handles every whole frame read so far; false when the link was dropped.
bool takeFrames() {
    Link& l = link();
    Frame frame;
    for (;;) {
        switch (l.reader->next(&frame)) {
            case FrameReader::Status::NeedMore: return true;
            case FrameReader::Status::TooLarge:
                drop("the peer announced a frame of " + std::to_string(l.reader->refusedLength()) + " bytes");
                return false;
            case FrameReader::Status::Ready: break;
        }
        if (frame.type == kLinkHello && frame.payload.size() == 4) {
            note("INFO", std::string("peer module is ") + roleName(readBe32(frame.payload)));
            l.helloReceived = true;
            maybeUp();
        } else if (frame.type == kLinkCheckpoint && frame.payload.size() >= 4) {
            if (!l.isUp) {
                drop("the peer sent a checkpoint before the link was up");
                return false;
            }
            const auto* bytes = reinterpret_cast<const uint8_t*>(frame.payload.data());
            deliverCheckpoint(readBe32(frame.payload), std::vector<uint8_t>(bytes + 4, bytes + frame.payload.size()));
        } else {
            drop("the peer sent a malformed frame (type " + std::to_string(frame.type) + ")");
            return false;
        }
    }
}

void onConnectionEvent(int fd, int cond) {
    Link& l = link();
    if (fd != l.connFd) return;
    if (cond != 0) {
        drop(cond == -999 ? "the peer closed the link" : "the connection broke");
        return;
    }
    char chunk[kReadChunk];
    for (;;) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            l.reader->feed(chunk, size_t(n));
            if (!takeFrames()) return;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        drop(n == 0 ? "the peer closed the link" : std::string("read failed: ") + std::strerror(errno));
        return;
    }
}

void adopt(int fd) {
    Link& l = link();
    l.connFd = fd;
    l.reader = std::make_unique<FrameReader>(kMaxMessage + 4);
    if (!addFd(fd, [fd](int cond) { onConnectionEvent(fd, cond); })) {
        ::close(fd);
        l.connFd = -1;
        l.reader.reset();
        return;
    }
    l.out = std::make_unique<SocketOutput>(fd, SocketOutput::Limits{kMaxQueued, kSendDeadlineUsec}, nullptr,
                                           [](const std::string& why) { drop(why); });
    note("INFO", "connected to the peer module");
    sendHelloWhenReady();
}

// The other end, listening or connecting, is of this user or root.
bool peerAllowed(int fd, uid_t* uid) {
    PeerIdentity who;
    if (!peerIdentity(fd, &who)) return false;
    *uid = who.uid;
    return controlPeerAllowed(who, ::geteuid());
}

void onListenEvent(int, int cond) {
    Link& l = link();
    if (cond != 0) return;
    for (;;) {
        const int fd = ::accept4(l.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            return;
        }
        uid_t uid = 0;
        if (!peerAllowed(fd, &uid) || l.connFd >= 0) {  // one peer, of this user
            if (l.connFd < 0) note("WARNING", "refused a peer module of uid " + std::to_string(uid));
            ::close(fd);
            continue;
        }
        adopt(fd);
    }
}

sockaddr_un socketAddress() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, link().socketPath.c_str(), sizeof addr.sun_path - 1);
    return addr;
}

// Whoever holds the lock listens; the lock dies with its process, so a
// stale socket file can be replaced without a race.
bool takeLock() {
    Link& l = link();
    const int fd = ::open(l.lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == ELOOP && !l.warnedForeign)
            note("ERROR", "lock file " + l.lockPath + " is a symbolic link: not followed");
        l.warnedForeign = l.warnedForeign || errno == ELOOP;
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    l.lockFd = fd;
    return true;
}

void releaseLock() {
    Link& l = link();
    if (l.lockFd >= 0) ::close(l.lockFd);
    l.lockFd = -1;
}

void listenForPeer() {
    Link& l = link();
    ::unlink(l.socketPath.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const sockaddr_un addr = socketAddress();
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::chmod(l.socketPath.c_str(), 0600) != 0 || ::listen(fd, 4) != 0 ||
        !addFd(fd, [](int cond) { onListenEvent(0, cond); })) {
        note("ERROR", "cannot listen on " + l.socketPath + ": " + std::strerror(errno));
        if (fd >= 0) ::close(fd);
        releaseLock();
        return;
    }
    l.listenFd = fd;
}

void connectToPeer() {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    const sockaddr_un addr = socketAddress();
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);  // nobody listens yet, or the listener is busy: next time
        return;
    }
    // Whoever listens must be the other module's coild: of this user or root.
    uid_t uid = 0;
    if (!peerAllowed(fd, &uid)) {
        if (!link().warnedForeign)
            note("WARNING", link().socketPath + " is served by uid " + std::to_string(uid) + ": not a peer module");
        link().warnedForeign = true;
        ::close(fd);
        return;
    }
    adopt(fd);
}

void retry() {
    Link& l = link();
    if (l.connFd >= 0) {
        sendHelloWhenReady();
        return;
    }
    if (l.listenFd >= 0) return;
    if (takeLock())
        listenForPeer();
    else
        connectToPeer();
}

void sendCheckpoint(int kind, std::span<const uint8_t> message) {
    if (!link().isUp) return;
    if (message.size() > kMaxMessage) {
        note("ERROR", "checkpoint of " + std::to_string(message.size()) + " bytes not sent: larger than " +
                          std::to_string(kMaxMessage));
        return;
    }
    std::string payload = be32(uint32_t(kind));
    payload.append(reinterpret_cast<const char*>(message.data()), message.size());
    sendFrame(kLinkCheckpoint, payload);
}

}  // namespace

uint32_t nodeStateByName(const std::string& name) {
    if (name == "primary") return DM_NODE_STATE_PRIMARY;
    if (name == "backup") return DM_NODE_STATE_BACKUP;
    if (name == "standby") return DM_NODE_STATE_STANDBY;
    return 0;
}

void setStartRole(uint32_t nodeState) { dmConfig.node_state = nodeState; }

bool start(const std::string& dir, std::string* error) {
    Link& l = link();
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot create peer directory " + dir + ": " + std::strerror(errno);
        return false;
    }
    // Whoever may write in the directory could listen there as the peer.
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 022) != 0) {
        *error = "peer directory " + dir + " must be a directory of this user that no one else may write to";
        return false;
    }
    l.socketPath = dir + "/" + kSocketName;
    l.lockPath = dir + "/" + kLockName;
    if (l.socketPath.size() >= sizeof(sockaddr_un{}.sun_path)) {
        *error = "peer socket path " + l.socketPath + " is too long";
        return false;
    }
    // The sink stays for the process's life: writeBackup may run while the
    // link drops, and a sink must not be replaced from inside itself.
    setBackupSink(sendCheckpoint);
    l.retryItem = addWorkItem(kRetryUsec, true, retry);
    post(retry);
    return true;
}

void stop() {
    Link& l = link();
    if (l.retryItem) removeWorkItem(l.retryItem);
    l.retryItem = 0;
    l.out.reset();
    if (l.connFd >= 0) {
        removeFd(l.connFd);
        ::close(l.connFd);
        l.connFd = -1;
    }
    l.isUp = false;
    if (l.listenFd >= 0) {
        removeFd(l.listenFd);
        ::close(l.listenFd);
        ::unlink(l.socketPath.c_str());
        l.listenFd = -1;
    }
    releaseLock();
}

bool up() { return link().isUp; }

}  // namespace mira::dmlink
