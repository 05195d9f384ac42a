// Framing of the control socket's stream: every request and every reply is
// one frame, an 8-byte header (type, payload length; both 32-bit
// big-endian) followed by the payload. The length is checked against a
// maximum before any room is made for the payload.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace mira::control {

inline constexpr size_t kHeaderSize = 8;
// Largest request payload coild accepts, and largest reply frame coilctl
// accepts. A longer reply comes in several frames (kTypeReplyPart ones, then
// the kTypeReply that ends it); its whole payload may be up to kMaxReplyTotal.
inline constexpr uint32_t kMaxRequestPayload = 64 * 1024;
inline constexpr uint32_t kMaxReplyPayload = 8 * 1024 * 1024;
inline constexpr size_t kMaxReplyTotal = size_t{64} * 1024 * 1024;

// Frame types.
enum : uint32_t {
    kTypeCm = 1,     // a configuration manager request (get, set, walk)
    kTypeSave = 2,   // save the configuration to the run directory
    kTypeLab = 3,    // change or show the simulated switch
    kTypeShow = 4,   // list the switch's VLANs or ports (what=vlans|ports)
    kTypeWatch = 5,  // subscribe: the connection then receives event frames
    kTypeReply = 0x100,
    kTypeReplyPart = 0x101,  // a piece of a reply that further frames continue
    kTypeEvent = 0x102,      // something the daemon did, to a watching connection
};

struct Frame {
    uint32_t type = 0;
    std::string payload;
};

std::string encodeFrame(uint32_t type, std::string_view payload);

// Cuts a byte stream into frames.
class FrameReader {
public:
    explicit FrameReader(uint32_t maxPayload) : max_(maxPayload) {}

    enum class Status { NeedMore, Ready, TooLarge };

    void feed(const void* data, size_t n);
    // Ready: *out holds the next whole frame, taken out of the stream.
    // TooLarge: the next header announces more than the maximum; the reader
    // stays in that state (the stream cannot be resynchronised).
    Status next(Frame* out);

    size_t buffered() const { return buf_.size(); }
    // Bytes the frame being read still needs (0 when no frame is started).
    size_t missing() const;
    // The announced length of the oversized frame, after TooLarge.
    uint32_t refusedLength() const { return refused_; }

private:
    uint32_t max_;
    uint32_t refused_ = 0;
    bool tooLarge_ = false;
    std::string buf_;
};

// Joins the frames of one reply: any number of part frames, then the
// reply frame; the payload is their payloads in order.
class ReplyAssembler {
public:
    enum class Status { NeedMore, Done, Error };
    // Done: payload() is the whole reply. Error: *error says why (a frame of
    // another type, or more than kMaxReplyTotal bytes in all).
    Status add(const Frame& frame, std::string* error);
    std::string& payload() { return payload_; }

private:
    std::string payload_;
};

}  // namespace mira::control
