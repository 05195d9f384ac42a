#include "engine/coil_record_pool.h"

#include <cstdlib>
#include <cstring>

#include "miracommon.h"

// Under AddressSanitizer each block comes from the C heap (miracommon.h).
#if defined(MIRA_ADDRESS_SANITIZER)
void* coilPoolAlloc(coilRecordPool_t* pool) {
    void* block = std::aligned_alloc(64, pool->blockSize);
    if (block != nullptr) std::memset(block, 0, pool->blockSize);
    return block;
}

void coilPoolFree(coilRecordPool_t*, void* block) { std::free(block); }
#else
static constexpr size_t kChunk = size_t(2) << 20;

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
