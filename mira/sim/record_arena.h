// Memory for the simulated switch's records that a received frame reads
// (VLANs, their member tables and members, queued frames): from the
// platform's record pools on large pages (miracommon.h), so that a storm's
// loads scattered over thousands of VLANs miss no page-table cache. Sizes
// round up to a power of two of at least a cache line, a pool each.
#pragma once
#include <cstddef>

namespace mira::sw {

void* arenaAllocate(size_t bytes);
void arenaFree(void* block, size_t bytes);

// For the standard containers of those records.
template <typename T>
struct ArenaAllocator {
    using value_type = T;
    ArenaAllocator() = default;
    template <typename U>
    ArenaAllocator(const ArenaAllocator<U>&) {}
    T* allocate(size_t n) { return static_cast<T*>(arenaAllocate(n * sizeof(T))); }
    void deallocate(T* p, size_t n) { arenaFree(p, n * sizeof(T)); }
    template <typename U>
    bool operator==(const ArenaAllocator<U>&) const { return true; }
};

// For a record type: `new` and `delete` of it go through the arena.
#define MIRA_ARENA_RECORD(T) \
    static void* operator new(size_t bytes) { return mira::sw::arenaAllocate(bytes); } \
    static void operator delete(void* block) { mira::sw::arenaFree(block, sizeof(T)); }

}  // namespace mira::sw
