// coild's control socket: a Unix stream socket "coild.sock" in the run
// directory (mode 0600), served by the loop. It takes connections only from
// the daemon's own user and from root (checked with SO_PEERCRED). Each
// connection carries any number of request frames (control_frame.h), each
// answered in order by one reply, in one frame or, when longer than
// kReplyPiece, in several made as the client reads them. A frame announcing
// more than kMaxRequestPayload bytes is answered with an error and the
// connection is closed unread; so is a connection that ends, or stays
// silent for kIdleTimeoutUsec, in the middle of a frame.
//
// Nothing waits for a client: replies go out through a bounded queue
// (socket_output.h); while a reply waits the connection's further requests
// stay unread, and a client that leaves its data unread for
// kOutputDeadlineUsec is dropped. The protocol is described in
// docs/control-protocol.md.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "mira/control/control_client.h"

namespace mira::control {

inline constexpr int64_t kIdleTimeoutUsec = 10'000'000;
inline constexpr size_t kMaxConnections = 32;
inline constexpr size_t kReplyPiece = size_t{64} * 1024;
inline constexpr size_t kMaxPendingOutput = size_t{1024} * 1024;
inline constexpr int64_t kOutputDeadlineUsec = 5'000'000;

// Sends bytes (whole frames) to the client on connection fd, without
// waiting: what the socket does not take now is queued. False when there is
// no such connection, or it was dropped because its queue would pass
// kMaxPendingOutput (the client does not read).
bool sendToClient(int fd, std::string_view bytes);

// Listens in runDir (which must exist). Refuses, with the reason in *error,
// when another process already serves the socket there. With serveNow
// false, connections wait in the socket's backlog until
// serveControlSocket() (coild serves once its configuration is loaded, so
// that no client sees the daemon half loaded).
bool startControlServer(const std::string& runDir, std::string* error, bool serveNow = true);
void serveControlSocket();
// Closes every connection and the socket, and removes the socket file.
void stopControlServer();

}  // namespace mira::control
