// The packet path of the Linux backend: one receive socket per port with a
// kernel filter that admits only our probes, and one send socket through
// which probes leave by the port named per frame, many in one system call.
#pragma once
#include <linux/filter.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace mira::lnx {

// The classic BPF program of the receive sockets: accepts frames that did
// not leave by the port (PACKET_OUTGOING) and carry LLC/SNAP with OUI
// 0A-5C-33 and protocol 0x00BB, after the 802.3 length field, with or
// without an 802.1Q tag still in the frame.
std::vector<sock_filter> probeFilter();

// A frame as it was on the wire: the 802.1Q tag the kernel stripped (and
// gave as auxiliary data) is put back after the source address.
// tci is the tag's TCI, or -1 when the frame came untagged.
using FrameHandler = std::function<void(int ifindex, const uint8_t* frame, size_t length, int tci)>;

// Puts a stripped tag back: writes the frame with tpid/tci after byte 12
// into out (at most outSize bytes); the length written.
size_t reinsertTag(const uint8_t* frame, size_t length, uint16_t tpid, uint16_t tci, uint8_t* out, size_t outSize);

class ProbeSockets {
  public:
    ProbeSockets() = default;
    ~ProbeSockets();
    ProbeSockets(const ProbeSockets&) = delete;
    ProbeSockets& operator=(const ProbeSockets&) = delete;

    bool openSender(std::string* error);
    // A filtered receive socket bound to the interface; -1 with *error set.
    int openReceiver(int ifindex, std::string* error);
    void closeReceiver(int fd);
    // Reads what waits on a receive socket, a batch per system call, and
    // hands each frame over; the number of frames read.
    size_t receive(int fd, int ifindex, const FrameHandler& handler);

    // Sending: queue() keeps the frame for flush(), which sends every
    // queued frame (sendmmsg); sendNow() is one sendto per frame.
    void queue(int ifindex, const uint8_t* frame, size_t length);
    size_t queued() const { return batch_.size(); }
    // Frames the kernel took; failures are counted in sendFailures().
    size_t flush();
    int sendNow(int ifindex, const uint8_t* frame, size_t length);
    uint64_t sendFailures() const { return sendFailures_; }
    // Interfaces whose last send failed, with its errno; a send that goes
    // through on the interface takes it off.
    const std::map<int, int>& failing() const { return failing_; }

    void closeAll();

  private:
    struct Outgoing {
        int ifindex;
        uint8_t bytes[128];
        uint16_t length;
    };
    int sender_ = -1;
    std::vector<int> receivers_;
    std::vector<Outgoing> batch_;
    uint64_t sendFailures_ = 0;
    std::map<int, int> failing_;
};

}  // namespace mira::lnx
