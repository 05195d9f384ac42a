// The switch as the tools list it (frame type kTypeShow, field what=):
//   vlans  one <vlan> record per VLAN: name, instance, tag, ports
//   ports  one <port> record per physical port: name, group, admin, link,
//          state, vlans, loops (found on it), lastLoop, disabledNow (by the
//          daemon), until (when the daemon enables it again, or permanent)
// Times are ISO 8601, local time with the zone offset.
#pragma once
#include <string>

#include "mira/control/control_message.h"

namespace mira::control {

Message answerShow(const Message& request);

}  // namespace mira::control
