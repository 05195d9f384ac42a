// Bounded, non-blocking output of a stream socket on the loop.
#include "mira/core/socket_output.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "mira/core/loop.h"

namespace mira {

SocketOutput::SocketOutput(int fd, Limits limits, std::function<void()> onRoom,
                           std::function<void(const std::string& why)> onFailed)
    : fd_(fd), limits_(limits), onRoom_(std::move(onRoom)), onFailed_(std::move(onFailed)) {}

SocketOutput::~SocketOutput() {
    if (watching_) stopWatchingWritable(fd_);
    if (deadlineItem_) removeWorkItem(deadlineItem_);
}

bool SocketOutput::flush() {
    while (!queue_.empty()) {
        Piece& front = queue_.front();
        const ssize_t n = ::send(fd_, front.bytes.data() + front.offset, front.bytes.size() - front.offset,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n <= 0) return false;
        front.offset += size_t(n);
        pending_ -= size_t(n);
        if (front.offset == front.bytes.size()) queue_.pop_front();
    }
    updateWatch();
    return true;
}

void SocketOutput::updateWatch() {
    const bool waiting = !queue_.empty();
    const bool watch = waiting || roomWanted_;
    if (watch != watching_) {
        watching_ = watch;
        if (watch)
            watchWritable(fd_, [this] { onWritable(); });
        else
            stopWatchingWritable(fd_);
    }
    if (waiting && deadlineItem_ == 0)
        deadlineItem_ = addWorkItem(limits_.deadlineUsec / 4 + 1, true, [this] { checkDeadline(); });
    if (!waiting && deadlineItem_ != 0) {
        removeWorkItem(deadlineItem_);
        deadlineItem_ = 0;
    }
}

void SocketOutput::askForRoom() {
    roomWanted_ = true;
    updateWatch();
}

bool SocketOutput::send(std::string_view bytes) {
    if (bytes.empty()) return true;
    if (pending_ + bytes.size() > limits_.maxBytes) return false;
    queue_.push_back(Piece{std::string(bytes), 0, monoUsec()});
    pending_ += bytes.size();
    return flush();
}

void SocketOutput::rewatch() {
    watching_ = false;
    if (!flush()) fail("the connection broke");
}

void SocketOutput::onWritable() {
    if (!flush()) return fail("the connection broke");
    if (pending_ > lowWater()) return;
    roomWanted_ = false;
    updateWatch();
    if (onRoom_) onRoom_();  // may ask for room again, or destroy this queue
}

void SocketOutput::checkDeadline() {
    if (queue_.empty() || monoUsec() - queue_.front().queuedAt <= limits_.deadlineUsec) return;
    fail("data left unread for more than " + std::to_string(limits_.deadlineUsec / 1000) + " ms");
}

void SocketOutput::fail(const std::string& why) {
    // The owner may destroy this queue from inside the call: nothing of it
    // is used afterwards, not even the function being called.
    const std::function<void(const std::string&)> onFailed = onFailed_;
    if (onFailed) onFailed(why);
}

}  // namespace mira
