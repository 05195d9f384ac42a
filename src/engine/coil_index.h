// A hash index beside the registry's trees: open addressing with linear
// probing, each slot a 32-bit tag and the record it leads to. A lookup reads
// one run of slots and then only the records whose tag matches, where a tree
// search reads one record per level. An all-zero index is empty, so it lives
// in the zeroed global record; its slots are freed when the last entry goes.
#pragma once
#include <cstdint>

struct coilIndexSlot_t {
    uint32_t tag;
    void* record;  // null: the slot is free
};

struct coilIndex_t {
    coilIndexSlot_t* slots;
    uint32_t mask;  // slot count - 1; the count is a power of two
    uint32_t count;
};

void coilIndexAdd(coilIndex_t* index, uint32_t tag, void* record);
// Removes the record entered with this tag; nothing when it is absent.
void coilIndexRemove(coilIndex_t* index, uint32_t tag, const void* record);

inline uint32_t coilIndexHome(const coilIndex_t* index, uint32_t tag) {
    return uint32_t((uint64_t(tag) * 0x9E3779B97F4A7C15ull) >> 32) & index->mask;
}

// Starts loading the slot where a lookup of the tag begins, so that the
// caller's other work overlaps the cache miss.
inline void coilIndexPrefetch(const coilIndex_t* index, uint32_t tag) {
    if (index->slots != nullptr) __builtin_prefetch(&index->slots[coilIndexHome(index, tag)]);
}

// The first record with the tag that `matches` accepts, or null.
template <typename Match>
void* coilIndexFind(const coilIndex_t* index, uint32_t tag, Match matches) {
    if (index->slots == nullptr) return nullptr;
    for (uint32_t i = coilIndexHome(index, tag);; i = (i + 1) & index->mask) {
        const coilIndexSlot_t& s = index->slots[i];
        if (s.record == nullptr) return nullptr;
        if (s.tag == tag && matches(s.record)) return s.record;
    }
}
