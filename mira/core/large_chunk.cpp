// Large-page chunks for records allocated by the thousand.
#include <sys/mman.h>

#include <cstdint>

#include "miracommon.h"

namespace {
constexpr size_t kLargePage = size_t(2) << 20;
}

void* miraMapLargeChunk(size_t size) {
    if (size == 0 || size % kLargePage != 0) return nullptr;
    // Mapped with a large page's worth to spare, then trimmed to the aligned
    // middle, so that every large page of the chunk can be a real one.
    void* raw = mmap(nullptr, size + kLargePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kLargePage - 1) & ~(kLargePage - 1);
    if (aligned > start) munmap(raw, aligned - start);
    if (const uintptr_t end = start + size + kLargePage; end > aligned + size)
        munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
    void* chunk = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
    madvise(chunk, size, MADV_HUGEPAGE);  // advice only: on small pages the chunk works the same
#endif
    return chunk;
}
