// Buffer library of the platform: packets handed between the messaging
// library and its clients.
#pragma once
#include <cstdint>

struct bmPacket_t {
    uint8_t* data;    // the packet's bytes
    uint32_t length;  // bytes in use
    uint32_t size;    // bytes allocated at data
};

// A packet of size bytes, or null.
bmPacket_t* bmAllocPacket(uint32_t size, int a, int b);
void bmFree(bmPacket_t* packet);
