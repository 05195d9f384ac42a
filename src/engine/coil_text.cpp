// Bounded copies into fixed-size, terminated text fields.
#include <cstring>

#include "engine/coil.h"

void coilCopyText(char* dst, size_t size, const char* src) {
    if (size == 0) return;
    if (src == nullptr) {
        dst[0] = '\0';
        return;
    }
    const size_t n = strnlen(src, size - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}
