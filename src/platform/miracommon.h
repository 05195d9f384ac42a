// Common library of the switch platform: process identity, system MAC,
// assertion core, and the clocks. The daemon reads wall-clock and monotonic
// time only through these calls, so a simulated platform can run it on
// virtual time.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>

struct miraTimeval_t {
    int32_t tv_sec;
    int32_t tv_usec;
};

void miraSetProcessName(const char* name);
const char* miraGetProcessName(void);

// Core-dump hook of the platform's assertion; the caller aborts afterwards.
void miraAssertCore(int flag, const char* file, int line, const char* func, const char* expr);

// Fills 6 bytes with the switch's MAC address. Returns 0.
int getSystemMac(uint8_t* mac, int flags);

// Monotonic time, seconds and microseconds. Returns 0.
int getmonotimeofday(miraTimeval_t* tv);

// Wall-clock seconds since the epoch, as time(2).
time_t miraTime(time_t* out);

// asctime(localtime(t)) of the platform's clock: 24 characters and a newline,
// in a static buffer.
const char* miraAsctime(time_t t);

// Records of one size allocated by the thousand, zeroed and on cache lines,
// carved from 2 MiB chunks that the platform backs with large pages where
// it can: loads scattered over many megabytes of records then do not also
// miss the page-table caches. Freed blocks wait for reuse in their pool;
// chunks are never given back.
struct miraRecordPool_t {
    size_t blockSize = 0;      // rounded up to a cache line by the first allocation
    void* freeList = nullptr;  // freed blocks, linked through their first word
};
// A zeroed block, or null when no memory can be mapped.
void* miraPoolAlloc(miraRecordPool_t* pool);
// Returns a block to its pool; null is ignored.
void miraPoolFree(miraRecordPool_t* pool, void* block);
