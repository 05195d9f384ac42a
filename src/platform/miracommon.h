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

// Set where AddressSanitizer watches the build (GCC and clang tell it
// differently): allocators built on large chunks then take every block
// from the C heap instead, so that leaks and uses after free stay visible
// (the leak checker does not look for pointers inside the chunks).
#if defined(__SANITIZE_ADDRESS__)
#define MIRA_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MIRA_ADDRESS_SANITIZER 1
#endif
#endif

// A zeroed block of `size` bytes (a multiple of 2 MiB) aligned to 2 MiB,
// for records allocated by the thousand: the platform backs it with large
// pages where it can, so that loads scattered over many megabytes of
// records do not also miss the page-table caches. Never given back. Null
// when no memory can be mapped.
void* miraMapLargeChunk(size_t size);
