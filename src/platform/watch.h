// Watch service of the platform: the daemon tells it what happened (a
// run's result, a port disabled or enabled again, a service added or
// removed), for operators who watch the daemon and for per-port loop
// counts. The daemon calls it on the dispatcher thread; the texts are valid
// only during the call.
#pragma once
#include <cstdint>

enum {
    WATCH_LOOP = 1,             // a probe came back: portWord is where, egressWord where it left
    WATCH_NO_LOOP = 2,          // a run ended without a loop
    WATCH_PORT_DISABLED = 3,    // portWord disabled for holdSeconds (0: permanently)
    WATCH_PORT_ENABLED = 4,     // portWord enabled again by the daemon
    WATCH_SERVICE_ADDED = 5,
    WATCH_SERVICE_REMOVED = 6,
};

struct watchEvent_t {
    uint32_t kind;
    const char* clientId;     // the service's client identifier
    const char* vlan;         // the service's VLAN name
    uint32_t vlanIfInstance;  // the service's VLAN instance
    uint32_t serviceId;
    uint32_t portWord;    // slot << 16 | port, or 0
    uint32_t egressWord;  // slot << 16 | port, or 0
    uint32_t holdSeconds;
};

void watchNotify(const watchEvent_t* event);
