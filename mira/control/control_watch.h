// The client side of a watch on coild's control socket: one kTypeWatch
// request, its reply, then one event frame per thing the daemon did.
#pragma once
#include <csignal>
#include <functional>
#include <string>

#include "mira/control/control_message.h"

namespace mira::control {

enum class WatchEnd { Stopped, Refused, Lost };

// Subscribes and hands each event to onEvent until *stop is set (checked at
// least every 250 ms) or the connection fails. Refused: coild answered the
// subscription with an error; Lost: coild unreachable or gone. Both with
// the reason in *error.
WatchEnd controlWatch(const std::string& socketPath, const std::function<void(const Message&)>& onEvent,
                      const volatile std::sig_atomic_t* stop, std::string* error);

}  // namespace mira::control
