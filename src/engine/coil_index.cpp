#include "engine/coil_index.h"

#include <cstdlib>

#include "frame/coil_log.h"

static constexpr const char* coilUnit = "coil_lib";

namespace {

constexpr uint32_t kFirstSlots = 64;

void place(coilIndex_t* index, uint32_t tag, void* record) {
    uint32_t i = coilIndexHome(index, tag);
    while (index->slots[i].record != nullptr) i = (i + 1) & index->mask;
    index->slots[i] = {tag, record};
}

// At most three quarters full, so runs of slots stay short.
void grow(coilIndex_t* index) {
    const uint32_t oldSlots = index->slots == nullptr ? 0 : index->mask + 1;
    const uint32_t slots = oldSlots == 0 ? kFirstSlots : oldSlots * 2;
    coilIndexSlot_t* old = index->slots;
    index->slots = static_cast<coilIndexSlot_t*>(std::calloc(slots, sizeof(coilIndexSlot_t)));
    coilAssert(index->slots != nullptr);
    index->mask = slots - 1;
    for (uint32_t i = 0; i < oldSlots; i++)
        if (old[i].record != nullptr) place(index, old[i].tag, old[i].record);
    std::free(old);
}

}  // namespace

void coilIndexAdd(coilIndex_t* index, uint32_t tag, void* record) {
    if (index->slots == nullptr || (index->count + 1) * 4 > (index->mask + 1) * 3) grow(index);
    place(index, tag, record);
    index->count++;
}

void coilIndexRemove(coilIndex_t* index, uint32_t tag, const void* record) {
    if (index->slots == nullptr) return;
    uint32_t hole = coilIndexHome(index, tag);
    while (index->slots[hole].record != record) {
        if (index->slots[hole].record == nullptr) return;
        hole = (hole + 1) & index->mask;
    }
    // Close the gap: move back each later slot of the run whose home does
    // not lie between the gap and itself, so no lookup stops short.
    for (uint32_t j = (hole + 1) & index->mask; index->slots[j].record != nullptr; j = (j + 1) & index->mask) {
        const uint32_t home = coilIndexHome(index, index->slots[j].tag);
        if (((j - home) & index->mask) < ((j - hole) & index->mask)) continue;
        index->slots[hole] = index->slots[j];
        hole = j;
    }
    index->slots[hole] = {0, nullptr};
    if (--index->count == 0) {
        std::free(index->slots);
        *index = coilIndex_t{};
    }
}
