// The client side of coild's control socket (coilctl, tests).
#pragma once
#include <cstdint>
#include <string>

#include "mira/control/control_message.h"

namespace mira::control {

inline constexpr const char* kSocketName = "coild.sock";

// The control socket of a run directory: <runDir>/coild.sock.
std::string controlSocketPath(const std::string& runDir);

// The run directory coild and coilctl use when none is given: /run/coil
// for root (the system service), else $XDG_RUNTIME_DIR/coil, else
// /tmp/coil-<uid>.
std::string defaultRunDir();
// Where coild keeps its saved configuration when no state directory is
// given: /var/lib/coil for root, else $XDG_STATE_HOME/coil, else
// $HOME/.local/state/coil (or, without a home, /tmp/coil-state-<uid>).
std::string defaultStateDir();

// A stream connection to the control socket, or -1 with the reason in
// *error (said as coilctl says it: "cannot reach coild at ...").
int connectControlSocket(const std::string& socketPath, std::string* error);

// Sends one request frame to the socket and waits up to timeoutMs for the
// reply. False, with the reason in *error, when the daemon cannot be
// reached or the reply is not a well-formed reply frame.
bool controlCall(const std::string& socketPath, uint32_t type, const Message& request, Message* reply,
                 std::string* error, int timeoutMs = 30'000);

}  // namespace mira::control
