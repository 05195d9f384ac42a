#include "mira/sim/record_arena.h"

#include <array>
#include <bit>
#include <cstdlib>
#include <new>

#include "miracommon.h"

namespace mira::sw {

namespace {

constexpr size_t kChunk = size_t(2) << 20;
constexpr size_t kSmallest = 64;
constexpr size_t kLargest = 64 * 1024;  // larger blocks come from the C heap
constexpr size_t kClasses = std::countr_zero(kLargest / kSmallest) + 1;

struct Arena {
    std::array<void*, kClasses> freeLists{};
    char* carve = nullptr;
    size_t carveLeft = 0;
};
Arena gArena;

size_t classOf(size_t bytes) { return bytes <= kSmallest ? 0 : std::bit_width(bytes - 1) - std::countr_zero(kSmallest); }

}  // namespace

// Under AddressSanitizer every block comes from the C heap, so that a use
// after free or a leak is still caught.
#if defined(__SANITIZE_ADDRESS__)
void* arenaAllocate(size_t bytes) { return ::operator new(bytes, std::align_val_t(kSmallest)); }
void arenaFree(void* block, size_t) { ::operator delete(block, std::align_val_t(kSmallest)); }
#else
void* arenaAllocate(size_t bytes) {
    if (bytes > kLargest) return ::operator new(bytes, std::align_val_t(kSmallest));
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
                arenaFree(gArena.carve, kSmallest << k);
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
    if (bytes > kLargest) return ::operator delete(block, std::align_val_t(kSmallest));
    void*& head = gArena.freeLists[classOf(bytes)];
    *static_cast<void**>(block) = head;
    head = block;
}
#endif

}  // namespace mira::sw
