// Compiled into every program that links the simulated switch: the switch
// calls reach the simulation unless the program installs another backend.
#include "mira/sim/sim_switch.h"

namespace {

// A failure here is a failure to start the program at all.
const bool gInstalled = [] {  // NOLINT(cert-err58-cpp)
    mira::installSwitch(mira::sim::simulatedSwitch());
    return true;
}();

}  // namespace
