// The encapsulation header: its layout, and an incremental checksum update
// that always equals a full recomputation over the patched frame.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "nup.h"

namespace {

uint16_t get16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}

// Ones'-complement sum over the header and data with the checksum as stored;
// 0xffff when the checksum is right.
uint16_t verify(const uint8_t* frame, int dataLength) {
    uint32_t sum = 0;
    for (int i = 26; i < 42 + dataLength; i += 2) sum += get16(frame + i);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return uint16_t(sum);
}

// What nupBuildPdu writes as checksum for the frame as it stands.
uint16_t full(uint8_t* frame, int dataLength) {
    uint8_t copy[128];
    std::memcpy(copy, frame, sizeof copy);
    uint8_t mac[6];
    std::memcpy(mac, frame + 32, 6);
    nupBuildPdu(copy, 1, uint16_t(dataLength), mac, get16(frame + 38));
    return get16(copy + 30);
}

TEST(NupTest, IncrementalChecksumEqualsFullRecomputation) {
    std::mt19937 rng(20240611);
    auto word = [&] {
        switch (rng() % 6) {
        case 0: return 0x00000000u;
        case 1: return 0xffffffffu;
        case 2: return 0x0000ffffu;
        case 3: return 0xffff0000u;
        default: return uint32_t(rng());
        }
    };
    int zeroChecksums = 0;
    for (int round = 0; round < 20000; ++round) {
        uint8_t frame[128] = {};
        const int dataLength = 4 * int(2 + rng() % 15);
        const uint16_t seq = uint16_t(rng());
        for (int i = 0; i < dataLength; ++i) frame[42 + i] = uint8_t(rng());
        uint8_t mac[6];
        for (uint8_t& b : mac) b = uint8_t(rng());
        const int at = 42 + 4 * int(rng() % (dataLength / 4));
        const uint32_t oldWord = word();
        put32(frame + at, oldWord);
        if (round % 4 == 0) {
            // Steer the sum to 0xffff, so the built checksum is 0x0000.
            nupBuildPdu(frame, 1, uint16_t(dataLength), mac, seq);
            const int fix = at == 42 ? 46 : 42;
            uint32_t patched = get16(frame + fix) + get16(frame + 30);
            patched = (patched & 0xffff) + (patched >> 16);
            frame[fix] = uint8_t(patched >> 8);
            frame[fix + 1] = uint8_t(patched);
        }
        nupBuildPdu(frame, 1, uint16_t(dataLength), mac, seq);
        ASSERT_EQ(verify(frame, dataLength), 0xffff);
        const uint16_t before = get16(frame + 30);
        zeroChecksums += before == 0;

        const uint32_t newWord = word();
        put32(frame + at, newWord);
        const uint16_t incremental = nupChecksumIncremental(before, oldWord, newWord);
        ASSERT_EQ(incremental, full(frame, dataLength))
            << "round " << round << " before " << before << " old " << oldWord << " new " << newWord;
    }
    EXPECT_GT(zeroChecksums, 1000);  // the corner was really exercised
}

}  // namespace
