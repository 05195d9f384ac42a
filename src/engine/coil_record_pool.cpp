#include "engine/coil_record_pool.h"

#include <cstdlib>
#include <cstring>

#include "miracommon.h"

namespace {
constexpr size_t kChunk = size_t(2) << 20;
}  // namespace

// Under AddressSanitizer each block comes from the C heap, so that a use
// after free or a leaked record is still caught.
#if defined(__SANITIZE_ADDRESS__)
void* coilPoolAlloc(coilRecordPool_t* pool) {
    void* block = std::aligned_alloc(64, pool->blockSize);
    if (block != nullptr) std::memset(block, 0, pool->blockSize);
    return block;
}

void coilPoolFree(coilRecordPool_t*, void* block) { std::free(block); }
#else
void* coilPoolAlloc(coilRecordPool_t* pool) {
    void* block = pool->freeList;
    if (block != nullptr) {
        pool->freeList = *static_cast<void**>(block);
    } else {
        if (pool->carveLeft < pool->blockSize) {
            auto* chunk = static_cast<char*>(miraMapLargeChunk(kChunk));
            if (chunk == nullptr) return nullptr;
            pool->carve = chunk;
            pool->carveLeft = kChunk;
        }
        block = pool->carve;
        pool->carve += pool->blockSize;
        pool->carveLeft -= pool->blockSize;
    }
    std::memset(block, 0, pool->blockSize);
    return block;
}

void coilPoolFree(coilRecordPool_t* pool, void* block) {
    if (block == nullptr) return;
    *static_cast<void**>(block) = pool->freeList;
    pool->freeList = block;
}
#endif
