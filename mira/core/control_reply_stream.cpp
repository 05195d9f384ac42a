// Whole replies handed out in pieces.
#include "mira/core/control_reply_stream.h"

#include <algorithm>

namespace mira::control {

namespace {

class WholeReply : public ReplyStream {
public:
    explicit WholeReply(std::string payload) : payload_(std::move(payload)) {}
    bool next(std::string* out, size_t budget) override {
        const size_t n = std::min(std::max<size_t>(budget, 1), payload_.size() - taken_);
        out->append(payload_, taken_, n);
        taken_ += n;
        return taken_ < payload_.size();
    }

private:
    std::string payload_;
    size_t taken_ = 0;
};

}  // namespace

std::unique_ptr<ReplyStream> wholeReply(std::string payload) { return std::make_unique<WholeReply>(std::move(payload)); }

std::string drainReply(ReplyStream& stream, size_t budget) {
    std::string all;
    while (stream.next(&all, budget)) {
    }
    return all;
}

}  // namespace mira::control
