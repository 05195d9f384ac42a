// Big-endian field access for frames and messages: the same bytes on any
// host.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

inline void coilPutBe16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void coilPutBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline uint16_t coilGetBe16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t coilGetBe32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// Cursors for codecs that describe a record once, as a walk over its fields,
// and run that walk to write it (coilBeWriter) or to read it (coilBeReader).
struct coilBeWriter {
    uint8_t* p;
    void u8(const uint8_t& v) { *p++ = v; }
    void u16(const uint16_t& v) { coilPutBe16(p, v), p += 2; }
    void u32(const uint32_t& v) { coilPutBe32(p, v), p += 4; }
    void i32(const int32_t& v) { u32(uint32_t(v)); }
    void bytes(const void* v, size_t n) { std::memcpy(p, v, n), p += n; }
};

struct coilBeReader {
    const uint8_t* p;
    void u8(uint8_t& v) { v = *p++; }
    void u16(uint16_t& v) { v = coilGetBe16(p), p += 2; }
    void u32(uint32_t& v) { v = coilGetBe32(p), p += 4; }
    void i32(int32_t& v) { v = int32_t(coilGetBe32(p)), p += 4; }
    void bytes(void* v, size_t n) { std::memcpy(v, p, n), p += n; }
};
