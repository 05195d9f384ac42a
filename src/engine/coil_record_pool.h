// Fixed-size records carved from the platform's large-page chunks. A storm
// of returned probes touches service records scattered over tens of
// megabytes; on small pages nearly every one of those loads also misses
// the TLB.
#pragma once

#include <cstddef>

struct coilRecordPool_t {
    size_t blockSize = 0;       // a multiple of the cache line
    void* freeList = nullptr;   // freed blocks, linked through their first word
    char* carve = nullptr;      // the rest of the newest chunk
    size_t carveLeft = 0;       // chunks are kept for reuse, never unmapped
};

// A zeroed block on a cache line, or null when no memory can be mapped.
void* coilPoolAlloc(coilRecordPool_t* pool);
// Returns a block to its pool; null is ignored.
void coilPoolFree(coilRecordPool_t* pool, void* block);
