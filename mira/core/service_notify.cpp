// Readiness for the service manager: sd_notify writes to $NOTIFY_SOCKET and
// does nothing when the process was not started by one.
#include <systemd/sd-daemon.h>

#include "mira/core/platform.h"

namespace mira {

void notifyServiceManager(const std::string& state) { sd_notify(0, state.c_str()); }

}  // namespace mira
