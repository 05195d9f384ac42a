// Record pools on large-page chunks (miracommon.h).
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "miracommon.h"

namespace {

constexpr size_t kLine = 64;

size_t roundedSize(miraRecordPool_t* pool) {
    pool->blockSize = (pool->blockSize + kLine - 1) / kLine * kLine;
    return pool->blockSize;
}

}  // namespace

// Under AddressSanitizer every block comes from the C heap, so that leaks
// and uses after free stay visible (the leak checker does not look for
// pointers inside mapped chunks). GCC and clang say it differently.
#if defined(__SANITIZE_ADDRESS__)
#define MIRA_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MIRA_ADDRESS_SANITIZER 1
#endif
#endif

#if defined(MIRA_ADDRESS_SANITIZER)
void* miraPoolAlloc(miraRecordPool_t* pool) {
    const size_t size = roundedSize(pool);
    void* block = std::aligned_alloc(kLine, size);
    if (block != nullptr) std::memset(block, 0, size);
    return block;
}

void miraPoolFree(miraRecordPool_t*, void* block) { std::free(block); }
#else
namespace {

constexpr size_t kChunk = size_t(2) << 20;

// The chunk all pools carve from; what is left of it when a block no
// longer fits is dropped (less than one block).
char* gCarve = nullptr;
size_t gCarveLeft = 0;

// A chunk aligned to its size, so that it can be one large page: mapped
// with a chunk to spare and trimmed to the aligned middle.
char* mapChunk(void) {
    void* raw = mmap(nullptr, 2 * kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kChunk - 1) & ~(kChunk - 1);
    if (aligned > start) munmap(raw, aligned - start);
    if (const uintptr_t end = start + 2 * kChunk; end > aligned + kChunk)
        munmap(reinterpret_cast<void*>(aligned + kChunk), end - (aligned + kChunk));
#ifdef MADV_HUGEPAGE
    madvise(reinterpret_cast<void*>(aligned), kChunk, MADV_HUGEPAGE);  // advice only
#endif
    return reinterpret_cast<char*>(aligned);
}

}  // namespace

void* miraPoolAlloc(miraRecordPool_t* pool) {
    const size_t size = roundedSize(pool);
    void* block = pool->freeList;
    if (block != nullptr) {
        pool->freeList = *static_cast<void**>(block);
        std::memset(block, 0, size);
        return block;
    }
    if (size > kChunk) return nullptr;
    if (gCarveLeft < size) {
        gCarve = mapChunk();
        if (gCarve == nullptr) {
            gCarveLeft = 0;
            return nullptr;
        }
        gCarveLeft = kChunk;
    }
    block = gCarve;  // fresh from the kernel: already zero
    gCarve += size;
    gCarveLeft -= size;
    return block;
}

void miraPoolFree(miraRecordPool_t* pool, void* block) {
    if (block == nullptr) return;
    *static_cast<void**>(block) = pool->freeList;
    pool->freeList = block;
}
#endif
