// A reply of the control socket produced piece by piece, so that the
// server makes the next piece only when its reader has taken the last one
// (a walk of thousands of records is never built whole, and never holds
// the loop for longer than one piece takes).
#pragma once
#include <cstddef>
#include <memory>
#include <string>

namespace mira::control {

class ReplyStream {
public:
    virtual ~ReplyStream() = default;
    // Appends the next piece of the payload, about `budget` bytes (a little
    // more, or less at the end), to *out; false once the payload is complete.
    virtual bool next(std::string* out, size_t budget) = 0;
};

// A payload built whole, handed out in pieces.
std::unique_ptr<ReplyStream> wholeReply(std::string payload);

// Every piece of a stream, in one payload (tests, the fuzz target).
std::string drainReply(ReplyStream& stream, size_t budget);

}  // namespace mira::control
