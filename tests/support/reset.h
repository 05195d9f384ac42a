// Every piece of daemon and platform state back to how a fresh process finds
// it, so the tests of one executable run in any order.
#pragma once

namespace coiltest {

// Frees the daemon's services and disabled-port records, clears its globals
// and start-up flags, and resets the platform (loop, timers, services,
// simulated switch) to virtual time with no log capture.
void resetDaemonAndPlatform();

}  // namespace coiltest
