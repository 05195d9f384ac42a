// One request and its reply over the control socket.
#include "mira/control/control_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "mira/control/control_frame.h"
#include "mira/control/scoped_fd.h"

namespace mira::control {

namespace {


}  // namespace

std::string controlSocketPath(const std::string& runDir) { return runDir + "/" + kSocketName; }

std::string defaultRunDir() {
    if (::geteuid() == 0) return "/run/coil";
    if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg != nullptr && *xdg != '\0')
        return std::string(xdg) + "/coil";
    return "/tmp/coil-" + std::to_string(::getuid());
}

std::string defaultStateDir() {
    if (::geteuid() == 0) return "/var/lib/coil";
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && *xdg == '/') return std::string(xdg) + "/coil";
    if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/')
        return std::string(home) + "/.local/state/coil";
    return "/tmp/coil-state-" + std::to_string(::getuid());
}

int connectControlSocket(const std::string& socketPath, std::string* error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof addr.sun_path) {
        *error = "socket path " + socketPath + " is too long";
        return -1;
    }
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ScopedFd s{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (s.fd < 0 || ::connect(s.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        *error = "cannot reach coild at " + socketPath + ": " + std::strerror(errno) + " (is coild running?)";
        return -1;
    }
    const int fd = s.fd;
    s.fd = -1;
    return fd;
}

bool controlCall(const std::string& socketPath, uint32_t type, const Message& request, Message* reply,
                 std::string* error, int timeoutMs) {
    ScopedFd s{connectControlSocket(socketPath, error)};
    if (s.fd < 0) return false;
    const std::string frame = encodeFrame(type, encodeMessage(request));
    std::string sendError;  // a send that failed otherwise: said if no reply comes
    for (size_t sent = 0; sent < frame.size();) {
        ssize_t n = ::send(s.fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        // A server that turns the connection away answers and closes at
        // once: its reply is still there to read.
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) break;
        if (n <= 0) {
            sendError = std::string("cannot send the request: ") + std::strerror(errno);
            break;
        }
        sent += size_t(n);
    }
    FrameReader reader(kMaxReplyPayload);
    ReplyAssembler assembler;
    Frame answer;
    char chunk[16 * 1024];
    for (;;) {
        switch (reader.next(&answer)) {
            case FrameReader::Status::Ready:
                switch (assembler.add(answer, error)) {
                    case ReplyAssembler::Status::Error: return false;
                    case ReplyAssembler::Status::NeedMore: continue;
                    case ReplyAssembler::Status::Done: break;
                }
                if (!parseMessage(assembler.payload(), reply, error)) {
                    *error = "malformed reply from coild: " + *error;
                    return false;
                }
                return true;
            case FrameReader::Status::TooLarge:
                *error = "reply of " + std::to_string(reader.refusedLength()) + " bytes refused (larger than " +
                         std::to_string(kMaxReplyPayload) + ")";
                return false;
            case FrameReader::Status::NeedMore: break;
        }
        pollfd p{s.fd, POLLIN, 0};
        int ready = ::poll(&p, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            *error = "no reply from coild within " + std::to_string(timeoutMs / 1000) + " seconds";
            return false;
        }
        ssize_t n = ::recv(s.fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = sendError.empty() ? "coild closed the connection before its reply was complete" : sendError;
            return false;
        }
        reader.feed(chunk, size_t(n));
    }
}

}  // namespace mira::control
