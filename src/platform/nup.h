// Encapsulation-header library of the platform: the 16-byte header that
// follows the LLC/SNAP header of the switch's own protocol frames.
#pragma once
#include <cstdint>

enum { NUP_HEADER_SIZE = 16, NUP_HEADER_OFFSET = 26 };

// Pointer to the data area after the header (frame offset 42), or null.
uint8_t* nupFindDataPtr(uint8_t* frame, int kind);
// Writes the header for dataLength bytes of data; returns the frame length.
int nupBuildPdu(uint8_t* frame, int kind, uint16_t dataLength, const uint8_t* mac, uint16_t seq);
// The header checksum after one 32-bit word of the data changed.
uint16_t nupChecksumIncremental(uint16_t checksum, uint32_t oldWord, uint32_t newWord);
// The 802.3 length field for a frame of the given total length.
uint16_t getAdjustedTypeLength(int frameLength);
