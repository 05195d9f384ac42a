// Inter-process messaging of the platform: client connections, servers that
// peers connect to, peer groups, and framed messages to one peer.
#pragma once
#include <cstdint>
#include "bm.h"

// A connection. The first word is its descriptor.
struct ipmlConn_t {
    int32_t fd;
};
typedef ipmlConn_t* ipmlHandle_t;
typedef uint32_t ipmlGroup_t;

// Peer events delivered to a server's peer callback; data is 8 bytes whose
// first word is the peer identifier.
enum { IPML_PEER_NEW = 1, IPML_PEER_DEAD = 2 };
enum { IPML_PEER_EVENT_SIZE = 8 };

// Result of ipmlSend when the message is queued behind others.
enum { IPML_QUEUED = -116 };

typedef int (*ipmlPeerCallback_t)(void* context, int opcode, void* data, int length);

ipmlHandle_t ipmlInitClient(int a, int b, int c);
int ipmlClose(ipmlHandle_t conn);
// Opens a server on the port; peers that connect are reported to cb.
ipmlHandle_t ipmlInitServerClient(int a, uint16_t port, int b, ipmlPeerCallback_t cb, void* context);
ipmlGroup_t ipmlCreateGroup(ipmlHandle_t server, int a);
int ipmlSetPeerOption(uint32_t peer, int option, int value);
int ipmlAddPeerToGroup(ipmlGroup_t group, uint32_t peer);
int ipmlRemovePeerFromGroup(ipmlGroup_t group, uint32_t peer);
// Sends the packet to the peer; the library owns it unless the result is
// negative and not IPML_QUEUED.
int ipmlSend(uint32_t peer, bmPacket_t* packet, int flags);
