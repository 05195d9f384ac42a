// Port lists: walking and copying the bits of PORTLIST_T, the same for every
// switch backend.
#include <cstring>

#include "dm.h"
#include "vlanlib.h"

int32_t PORTLIST_GETNEXTPORT(const PORTLIST_T* list, int32_t prev) {
    if (!list) return -1;
    const uint32_t first = dmGetSlotFirst();
    uint32_t group = 0, bit = 0;  // where to look next
    if (prev != -1) {
        const uint32_t w = uint32_t(prev);
        group = ((w >> 16) - first) % 32;
        bit = (w & 0xffff);  // port p is bit p-1, so the next one is bit p
        if ((w & 0xffff) == 0) bit = 0;
    }
    for (; group < 32; ++group, bit = 0) {
        for (; bit < 256; ++bit) {
            const uint32_t word = list->group[group][bit / 32];
            if (word == 0) {  // skip the rest of an empty word
                bit |= 31;
                continue;
            }
            if (word & (0x80000000u >> (bit % 32))) return int32_t((first + group) << 16 | (bit + 1));
        }
    }
    return -1;
}

void PORTLIST_COPY(PORTLIST_T* dst, const PORTLIST_T* src) {
    if (dst && src && dst != src) std::memcpy(dst, src, sizeof *dst);
}
