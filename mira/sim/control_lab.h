// The lab commands: changes of the simulated switch while coild runs, as a
// person at the switch (cables, hubs, port buttons) or another process of
// it (spanning tree, the VLAN manager, the distribution manager) would make
// them. A command is a list of words, e.g. {"cable", "1:1", "1:2"}.
#pragma once
#include <string>
#include <vector>

#include "mira/core/switch_backend.h"

namespace mira::control {

using mira::LabResult;

// Runs the command on this process's simulated switch (on the loop's thread).
LabResult runLabCommand(const std::vector<std::string>& words);

}  // namespace mira::control
