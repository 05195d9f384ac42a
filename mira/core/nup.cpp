// Encapsulation header of the switch's own protocol frames: 16 bytes after
// the LLC/SNAP header (frame offsets 26..41), big-endian:
//
//   26  1  header kind (1)
//   27  1  reserved, 0
//   28  2  length: data length + 20
//   30  2  checksum: Internet ones'-complement checksum over the header
//          (this field taken as 0) and the data
//   32  6  sender's MAC address
//   38  2  sequence number (low 16 bits)
//   40  2  reserved, 0
//
// The data follows at offset 42. The header starts at an even offset, so
// every 32-bit data word at an even distance from it covers two whole
// checksum words; nupChecksumIncremental relies on that.
#include <cstring>

#include "nup.h"

namespace {

constexpr int kKind = 1;
constexpr int kDataOffset = NUP_HEADER_OFFSET + NUP_HEADER_SIZE;

void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

uint32_t fold(uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return sum;
}

}  // namespace

uint8_t* nupFindDataPtr(uint8_t* frame, int kind) {
    if (!frame || kind != kKind) return nullptr;
    return frame + kDataOffset;
}

int nupBuildPdu(uint8_t* frame, int kind, uint16_t dataLength, const uint8_t* mac, uint16_t seq) {
    if (!frame || kind != kKind) return -1;
    uint8_t* h = frame + NUP_HEADER_OFFSET;
    std::memset(h, 0, NUP_HEADER_SIZE);
    h[0] = uint8_t(kind);
    put16(h + 2, uint16_t(dataLength + 20));
    if (mac) std::memcpy(h + 6, mac, 6);
    put16(h + 12, seq);

    uint32_t sum = 0;
    const uint8_t* covered = h;
    const size_t length = NUP_HEADER_SIZE + size_t(dataLength);
    for (size_t i = 0; i + 1 < length; i += 2) sum += uint32_t(covered[i] << 8 | covered[i + 1]);
    if (length & 1) sum += uint32_t(covered[length - 1]) << 8;
    put16(h + 4, uint16_t(~fold(sum)));
    return kDataOffset + dataLength;
}

// Incremental update with HC' = ~(~HC + ~m + m') for each 16-bit half of the
// changed word. The sum it complements is never zero (the header's kind byte
// is not), so it yields the same representation a full computation does.
uint16_t nupChecksumIncremental(uint16_t checksum, uint32_t oldWord, uint32_t newWord) {
    uint32_t sum = uint16_t(~checksum);
    sum += uint16_t(~(oldWord >> 16)) + (newWord >> 16);
    sum += uint16_t(~oldWord) + (newWord & 0xffff);
    return uint16_t(~fold(sum));
}

uint16_t getAdjustedTypeLength(int frameLength) { return uint16_t(frameLength - 18); }
