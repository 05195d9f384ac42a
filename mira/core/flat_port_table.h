// Port words (slot << 16 | port) of slots up to 255 and ports up to 256
// index flat tables at slot * 257 + port; tables keyed by port word keep
// the others in a hash map.
#pragma once
#include <cstddef>
#include <cstdint>

namespace mira {

inline bool flatPortWord(uint32_t word) { return (word >> 16) <= 255 && (word & 0xffff) <= 256; }
inline size_t flatPortIndex(uint32_t word) { return size_t(word >> 16) * 257 + (word & 0xffff); }

}  // namespace mira
