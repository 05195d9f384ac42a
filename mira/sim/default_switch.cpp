// Compiled into every program that links the simulated switch: the switch
// calls reach the simulation unless the program installs another backend.
#include "mira/sim/sim_switch.h"

namespace {

const bool gInstalled = [] {
    mira::installSwitch(mira::sim::simulatedSwitch());
    return true;
}();

}  // namespace
