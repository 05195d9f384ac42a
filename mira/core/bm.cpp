// Buffer library: heap packets with their own data area.
#include "bm.h"

#include <cstdlib>

bmPacket_t* bmAllocPacket(uint32_t size, int, int) {
    auto* packet = static_cast<bmPacket_t*>(std::calloc(1, sizeof(bmPacket_t)));
    if (!packet) return nullptr;
    packet->data = static_cast<uint8_t*>(std::calloc(size ? size : 1, 1));
    if (!packet->data) {
        std::free(packet);
        return nullptr;
    }
    packet->size = size;
    return packet;
}

void bmFree(bmPacket_t* packet) {
    if (!packet) return;
    std::free(packet->data);
    std::free(packet);
}
