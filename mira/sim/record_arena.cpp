#include "mira/sim/record_arena.h"

#include <array>
#include <bit>
#include <cstdlib>
#include <new>

#include "miracommon.h"

namespace mira::sw {

namespace {

constexpr size_t kSmallest = 64;

// Blocks beyond the largest class, and every block under AddressSanitizer.
void* heapBlock(size_t bytes) {
    void* block = std::aligned_alloc(kSmallest, (bytes + kSmallest - 1) / kSmallest * kSmallest);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

}  // namespace

// Under AddressSanitizer every block comes from the C heap (miracommon.h).
#if defined(MIRA_ADDRESS_SANITIZER)
void* arenaAllocate(size_t bytes) { return heapBlock(bytes); }
void arenaFree(void* block, size_t) { std::free(block); }
#else
namespace {

constexpr size_t kChunk = size_t(2) << 20;
constexpr size_t kLargest = size_t{64} * 1024;
constexpr size_t kClasses = std::countr_zero(kLargest / kSmallest) + 1;

struct Arena {
    std::array<void*, kClasses> freeLists{};
    char* carve = nullptr;
    size_t carveLeft = 0;
};
Arena gArena;

void pushFree(void* block, size_t sizeClass) {
    *static_cast<void**>(block) = gArena.freeLists[sizeClass];
    gArena.freeLists[sizeClass] = block;
}

size_t classOf(size_t bytes) { return bytes <= kSmallest ? 0 : std::bit_width(bytes - 1) - std::countr_zero(kSmallest); }

}  // namespace

void* arenaAllocate(size_t bytes) {
    if (bytes > kLargest) return heapBlock(bytes);
    const size_t c = classOf(bytes);
    const size_t size = kSmallest << c;
    if (void* block = gArena.freeLists[c]) {
        gArena.freeLists[c] = *static_cast<void**>(block);
        return block;
    }
    if (gArena.carveLeft < size) {
        // A chunk's rest, smaller than this block, goes to the free lists.
        for (size_t k = c; k-- > 0;)
            while (gArena.carveLeft >= (kSmallest << k)) {
                pushFree(gArena.carve, k);
                gArena.carve += kSmallest << k;
                gArena.carveLeft -= kSmallest << k;
            }
        gArena.carve = static_cast<char*>(miraMapLargeChunk(kChunk));
        if (gArena.carve == nullptr) throw std::bad_alloc();
        gArena.carveLeft = kChunk;
    }
    void* block = gArena.carve;
    gArena.carve += size;
    gArena.carveLeft -= size;
    return block;
}

void arenaFree(void* block, size_t bytes) {
    if (block == nullptr) return;
    if (bytes > kLargest) return std::free(block);
    pushFree(block, classOf(bytes));
}
#endif

}  // namespace mira::sw
