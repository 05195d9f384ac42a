// A tap on the simulated switch's ports: every frame leaving or entering a
// port is shown to one observer (tests watch the wire with it).
#pragma once
#include <cstdint>
#include <functional>
#include <span>

namespace mira {

using FrameTap = std::function<void(uint32_t port, bool leaving, std::span<const uint8_t> frame)>;
// Replaces the observer; null removes it.
void setFrameTap(FrameTap tap);
// Called by the fabric.
void tapFrame(uint32_t port, bool leaving, const uint8_t* frame, size_t length);

}  // namespace mira
