#include "mira/sim/tap.h"

namespace mira {

namespace {
FrameTap gTap;
}

void setFrameTap(FrameTap tap) { gTap = std::move(tap); }

void tapFrame(uint32_t port, bool leaving, const uint8_t* frame, size_t length) {
    if (gTap) gTap(port, leaving, std::span<const uint8_t>(frame, length));
}

}  // namespace mira
