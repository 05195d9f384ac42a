#include "mira/sim/record_arena.h"

#include <array>
#include <bit>
#include <cstdlib>
#include <new>

#include "miracommon.h"

namespace mira::sw {

namespace {

constexpr size_t kSmallest = 64;
constexpr size_t kLargest = size_t{64} * 1024;  // larger blocks come from the C heap
constexpr size_t kClasses = std::countr_zero(kLargest / kSmallest) + 1;

// One record pool of the platform per size class.
constinit std::array<miraRecordPool_t, kClasses> gPools = []() noexcept {
    std::array<miraRecordPool_t, kClasses> pools{};
    for (size_t c = 0; c < kClasses; c++) pools[c].blockSize = kSmallest << c;
    return pools;
}();

size_t classOf(size_t bytes) { return bytes <= kSmallest ? 0 : std::bit_width(bytes - 1) - std::countr_zero(kSmallest); }

}  // namespace

void* arenaAllocate(size_t bytes) {
    void* block = bytes > kLargest ? std::aligned_alloc(kSmallest, (bytes + kSmallest - 1) / kSmallest * kSmallest)
                                   : miraPoolAlloc(&gPools[classOf(bytes)]);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void arenaFree(void* block, size_t bytes) {
    if (bytes > kLargest)
        std::free(block);
    else
        miraPoolFree(&gPools[classOf(bytes)], block);
}

}  // namespace mira::sw
