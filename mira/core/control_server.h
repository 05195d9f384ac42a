// coild's control socket: a Unix stream socket "coild.sock" in the run
// directory (mode 0600), served by the loop. It takes connections only from
// the daemon's own user and from root (checked with SO_PEERCRED). Each
// connection carries any number of request frames (control_frame.h), each
// answered by one reply frame, in order. A frame announcing more than
// kMaxRequestPayload bytes is answered with an error and the connection is
// closed unread; so is a connection that ends, or stays silent for
// kIdleTimeoutUsec, in the middle of a frame. The protocol is described in
// docs/control-protocol.md.
#pragma once
#include <cstdint>
#include <string>

#include "mira/control/control_client.h"

namespace mira::control {

inline constexpr int64_t kIdleTimeoutUsec = 10'000'000;
inline constexpr size_t kMaxConnections = 32;

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
