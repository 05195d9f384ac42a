// The stand-in messaging library's socket form, shared by its server side
// (mira/ipml.cpp) and its tests. A server on messaging port P listens on the
// Unix stream socket <run-dir>/ipml-P.sock; a directory-service name N is
// published as <run-dir>/N.port, holding the port in decimal and a newline.
// On the stream every message is one frame: a 32-bit big-endian length, then
// that many bytes. Empty frames are skipped; a frame longer than
// kIpmlMaxMessage ends the connection before any of its body is read.
// Only processes of the server's user or group (or root) are taken as peers
// (mira/peer_cred.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace mira {

inline constexpr size_t kIpmlFrameHeader = 4;
inline constexpr uint32_t kIpmlMaxMessage = 4096;

// Peers one server keeps at once, and of them from one user (uid); a
// connection beyond either is closed at once, without a peer event.
inline constexpr size_t kIpmlMaxPeers = 128;
inline constexpr size_t kIpmlMaxPeersPerUser = 32;
// A peer that has sent no whole message this long after connecting, or
// stays this long in the middle of a frame, is disconnected (and reported
// dead): idle connections cannot keep client daemons out.
inline constexpr int64_t kIpmlIdleUsec = 10'000'000;

// Bytes a server keeps waiting for one slow peer beyond what the socket
// holds, unless the peer option 3 sets another bound.
inline constexpr size_t kIpmlDefaultQueueBytes = size_t{64} * 1024;

// Negative results of ipmlSend besides IPML_QUEUED; the caller keeps the
// packet.
enum : int {
    kIpmlNoPeer = -1,     // no such peer, or its connection is broken
    kIpmlQueueFull = -2,  // the peer's queue is full: the message is dropped (and counted)
    kIpmlBadPacket = -3,  // no packet, no bytes, or more than kIpmlMaxMessage
};

std::string ipmlSocketName(uint16_t port);       // "ipml-P.sock"
std::string dsRecordName(const std::string& name);  // "N.port"

}  // namespace mira
