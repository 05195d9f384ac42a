#include "engine/coil_record_pool.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define COIL_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define COIL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define COIL_POISON(p, n) ((void)(p), (void)(n))
#define COIL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

constexpr size_t kChunk = size_t(2) << 20;

// A chunk aligned to its size, so that it can be one huge page: twice the
// size is mapped and the ends outside the aligned middle are given back.
char* mapChunk(void) {
    void* raw = mmap(nullptr, 2 * kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kChunk - 1) & ~(kChunk - 1);
    if (aligned > start) munmap(raw, aligned - start);
    if (const uintptr_t tail = start + 2 * kChunk - (aligned + kChunk); tail > 0)
        munmap(reinterpret_cast<void*>(aligned + kChunk), tail);
    char* chunk = reinterpret_cast<char*>(aligned);
#ifdef MADV_HUGEPAGE
    madvise(chunk, kChunk, MADV_HUGEPAGE);  // only advice: without huge pages the chunk still works
#endif
    COIL_POISON(chunk, kChunk);
    return chunk;
}

}  // namespace

void* coilPoolAlloc(coilRecordPool_t* pool) {
    void* block = pool->freeList;
    if (block != nullptr) {
        COIL_UNPOISON(block, pool->blockSize);
        pool->freeList = *static_cast<void**>(block);
    } else {
        if (pool->carveLeft < pool->blockSize) {
            char* chunk = mapChunk();
            if (chunk == nullptr) return nullptr;
            pool->carve = chunk;
            pool->carveLeft = kChunk;
            pool->chunks++;
        }
        block = pool->carve;
        pool->carve += pool->blockSize;
        pool->carveLeft -= pool->blockSize;
        COIL_UNPOISON(block, pool->blockSize);
    }
    std::memset(block, 0, pool->blockSize);
    return block;
}

void coilPoolFree(coilRecordPool_t* pool, void* block) {
    if (block == nullptr) return;
    *static_cast<void**>(block) = pool->freeList;
    pool->freeList = block;
    COIL_POISON(static_cast<char*>(block) + sizeof(void*), pool->blockSize - sizeof(void*));
}
