// The platform's side of the daemon's watch notifications (watch.h): each
// event becomes a control message for the subscribers of the control
// socket (coilctl watch), and loops are counted per port for `show ports`.
#pragma once
#include <cstdint>
#include <ctime>
#include <functional>

#include "mira/control/control_message.h"
#include "mira/control/control_text.h"

namespace mira {

struct PortLoops {
    uint64_t loops = 0;     // loops found on the port (probes back in through it)
    std::time_t last = 0;   // platform time of the last, 0 for none
};
PortLoops portLoops(uint32_t portWord);

// Receives every event as a message (fields in docs/control-protocol.md).
using WatchSink = std::function<void(const control::Message&)>;
void setWatchSink(WatchSink sink);

using control::isoLocalTime;

}  // namespace mira
