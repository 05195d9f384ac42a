// Packet library of the platform: one descriptor through which a process
// sends frames into the switch and receives the frames its filters admit.
#pragma once
#include <cstdint>

enum { KYPKT_TO_VLAN = 1, KYPKT_TO_PORT = 2 };

// Receive filter specification: 44 bytes, cleared before filling. Its words
// are bytes in network order, as the packet library reads them.
struct kypktFilterSpec_t {
    uint32_t filterId;      // written by the library, host order
    uint8_t words[6][4];    // big-endian 1, 1, 0, 1, 1, 0
    uint8_t tag[2];         // big-endian 802.1Q tag
    uint8_t zero[2];
    uint8_t addrLength;
    uint8_t addr[6];
    uint8_t pad[5];
};
static_assert(sizeof(kypktFilterSpec_t) == 44);
static_assert(__builtin_offsetof(kypktFilterSpec_t, words) == 4);
static_assert(__builtin_offsetof(kypktFilterSpec_t, tag) == 28);
static_assert(__builtin_offsetof(kypktFilterSpec_t, addrLength) == 32);
static_assert(__builtin_offsetof(kypktFilterSpec_t, addr) == 33);

// A descriptor the dispatcher can watch, or negative with errno set.
int openKypkt(void);
// Negative on failure; on success the new id in spec->filterId.
int attachKypktFilter(int fd, kypktFilterSpec_t* spec);
int detachKypktFilter(int fd, uint32_t filterId);
// Sends a frame to a VLAN (kind 1) or to one port of it (kind 2, port word at
// *port). Negative with errno set on failure.
int sendKypkt(int fd, const uint8_t* frame, uint32_t length, int kind, int a, uint32_t vlanIfInstance, int count,
              const uint32_t* port, int b);
// Reads one frame: up to maxLength bytes, the receiving VLAN's instance, a
// further word, and the physical and logical ingress ports (16-bit slot,
// 16-bit port each). The received length, or -1.
int recvKypkt(int fd, uint8_t* frame, uint32_t maxLength, uint32_t* scratch, uint32_t* vlanIfInstance,
              uint32_t* rxInfo, uint16_t* inPif, uint16_t* inLif, int a, int b);

// A frame still queued for reading, seen where it waits: its first bytes
// (valid until the next read on the descriptor), its length and the
// receiving VLAN's instance.
struct kypktQueued_t {
    const uint8_t* frame;
    uint32_t length;
    uint32_t vlanIfInstance;
};
// Looks at up to `max` frames queued next, without consuming them, in the
// order recvKypkt will read them, and returns how many it filled: 0 when
// none is queued or the backend cannot look ahead. The backend may start
// loading the records its VLAN library will read for them. A hint for a
// reader that wants to overlap the cache misses of consecutive frames.
int peekKypkt(int fd, kypktQueued_t* out, int max);
