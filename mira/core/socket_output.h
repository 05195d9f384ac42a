// What a non-blocking stream socket has not taken yet, written from the
// loop as the socket drains. Nothing ever waits for a reader: a connection
// whose reader falls behind fills its queue, and past the queue's bound, or
// with bytes older than the deadline, the queue fails and its owner drops
// the connection. The control socket, the checkpoint link and anything
// pushed to a control client (events) send through one of these.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

namespace mira {

class SocketOutput {
public:
    struct Limits {
        size_t maxBytes;       // queued bytes allowed beyond what the socket took
        int64_t deadlineUsec;  // how long a queued byte may wait
    };
    // onRoom: the queue has fallen to lowWater() or below after a write
    // from the loop (a producer may add more). onFailed: the reader is too
    // slow or gone; the owner drops the connection (and may destroy this
    // queue from inside the call). The descriptor must be watched by the
    // loop (addFd) and non-blocking; the owner keeps closing it.
    SocketOutput(int fd, Limits limits, std::function<void()> onRoom,
                 std::function<void(const std::string& why)> onFailed);
    ~SocketOutput();
    SocketOutput(const SocketOutput&) = delete;
    SocketOutput& operator=(const SocketOutput&) = delete;

    // Writes what the socket takes now and queues the rest. False (nothing
    // queued, onFailed not called) when the queue would pass its bound or
    // the socket is broken: the owner drops the connection.
    bool send(std::string_view bytes);
    size_t pending() const { return pending_; }
    // Watches the descriptor again after it was registered anew with the
    // loop (which forgets the wish to write).
    void rewatch();
    // Calls onRoom once the socket takes more, even with nothing queued: a
    // producer makes its next piece in the loop's next turn, after the other
    // descriptors, instead of all its pieces in one callback.
    void askForRoom();
    size_t lowWater() const { return limits_.maxBytes / 4; }

private:
    struct Piece {
        std::string bytes;
        size_t offset;
        int64_t queuedAt;
    };
    bool flush();  // false: the socket is broken
    void updateWatch();
    void onWritable();
    void checkDeadline();
    void fail(const std::string& why);

    int fd_;
    Limits limits_;
    std::function<void()> onRoom_;
    std::function<void(const std::string&)> onFailed_;
    std::deque<Piece> queue_;
    size_t pending_ = 0;
    bool watching_ = false;
    bool roomWanted_ = false;
    uint64_t deadlineItem_ = 0;
};

}  // namespace mira
