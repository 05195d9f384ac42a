// Frame header encoding and the incremental frame reader.
#include "mira/control/control_frame.h"

namespace mira::control {

namespace {

uint32_t be32(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | uint32_t(b[3]);
}

void putBe32(std::string& out, uint32_t v) {
    out.push_back(char(v >> 24));
    out.push_back(char(v >> 16));
    out.push_back(char(v >> 8));
    out.push_back(char(v));
}

}  // namespace

std::string encodeFrame(uint32_t type, std::string_view payload) {
    std::string out;
    out.reserve(kHeaderSize + payload.size());
    putBe32(out, type);
    putBe32(out, uint32_t(payload.size()));
    out.append(payload);
    return out;
}

void FrameReader::feed(const void* data, size_t n) {
    if (tooLarge_) return;  // nothing after an oversized header is kept
    buf_.append(static_cast<const char*>(data), n);
}

FrameReader::Status FrameReader::next(Frame* out) {
    if (tooLarge_) return Status::TooLarge;
    if (buf_.size() < kHeaderSize) return Status::NeedMore;
    const uint32_t length = be32(buf_.data() + 4);
    if (length > max_) {
        tooLarge_ = true;
        refused_ = length;
        buf_.clear();
        buf_.shrink_to_fit();
        return Status::TooLarge;
    }
    if (buf_.size() - kHeaderSize < length) return Status::NeedMore;
    out->type = be32(buf_.data());
    out->payload.assign(buf_, kHeaderSize, length);
    buf_.erase(0, kHeaderSize + length);
    return Status::Ready;
}

size_t FrameReader::missing() const {
    if (buf_.empty() || tooLarge_) return 0;
    if (buf_.size() < kHeaderSize) return kHeaderSize - buf_.size();
    const uint32_t length = be32(buf_.data() + 4);
    return kHeaderSize + length > buf_.size() ? kHeaderSize + length - buf_.size() : 0;
}

ReplyAssembler::Status ReplyAssembler::add(const Frame& frame, std::string* error) {
    if (frame.type != kTypeReply && frame.type != kTypeReplyPart) {
        *error = "unexpected frame type " + std::to_string(frame.type) + " from coild";
        return Status::Error;
    }
    if (payload_.size() + frame.payload.size() > kMaxReplyTotal) {
        *error = "reply of more than " + std::to_string(kMaxReplyTotal) + " bytes refused";
        return Status::Error;
    }
    payload_ += frame.payload;
    return frame.type == kTypeReply ? Status::Done : Status::NeedMore;
}

}  // namespace mira::control
