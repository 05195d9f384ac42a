// A subscription to coild's events.
#include "mira/control/control_watch.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "mira/control/control_client.h"
#include "mira/control/control_frame.h"
#include "mira/control/scoped_fd.h"

namespace mira::control {

namespace {

bool connectTo(const std::string& path, ScopedFd* s, std::string* error) {
    s->fd = connectControlSocket(path, error);
    if (s->fd < 0) return false;
    const std::string frame = encodeFrame(kTypeWatch, "");
    if (::send(s->fd, frame.data(), frame.size(), MSG_NOSIGNAL) != ssize_t(frame.size()))
        return *error = std::string("cannot send the request: ") + std::strerror(errno), false;
    return true;
}

}  // namespace

WatchEnd controlWatch(const std::string& socketPath, const std::function<void(const Message&)>& onEvent,
                      const volatile std::sig_atomic_t* stop, std::string* error) {
    ScopedFd s;
    if (!connectTo(socketPath, &s, error)) return WatchEnd::Lost;
    FrameReader reader(kMaxReplyPayload);
    bool subscribed = false;
    char chunk[16 * 1024];
    while (!*stop) {
        Frame frame;
        const FrameReader::Status status = reader.next(&frame);
        if (status == FrameReader::Status::TooLarge) return *error = "oversized frame from coild", WatchEnd::Lost;
        if (status == FrameReader::Status::Ready) {
            Message m;
            if (!parseMessage(frame.payload, &m, error)) return *error = "malformed frame: " + *error, WatchEnd::Lost;
            if (!subscribed) {
                if (frame.type != kTypeReply) return *error = "unexpected frame from coild", WatchEnd::Lost;
                if (m.get("status") != "ok") return *error = m.get("error", "watch refused"), WatchEnd::Refused;
                subscribed = true;
            } else if (frame.type == kTypeEvent) {
                onEvent(m);
            }
            continue;
        }
        pollfd p{s.fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 250);
        if (ready < 0 && errno != EINTR) return *error = std::strerror(errno), WatchEnd::Lost;
        if (ready <= 0) continue;
        const ssize_t n = ::recv(s.fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return *error = "coild closed the connection", WatchEnd::Lost;
        reader.feed(chunk, size_t(n));
    }
    return WatchEnd::Stopped;
}

}  // namespace mira::control
