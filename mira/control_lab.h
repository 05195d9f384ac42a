// The lab commands: changes of the simulated switch while coild runs, as a
// person at the switch (cables, hubs, port buttons) or another process of
// it (spanning tree, the VLAN manager, the distribution manager) would make
// them. A command is a list of words, e.g. {"cable", "1:1", "1:2"}.
#pragma once
#include <string>
#include <vector>

namespace mira::control {

struct LabResult {
    bool ok = false;
    std::string error;  // why the command was refused
    std::string text;   // what was done, one line
    std::string xml;    // `ports`: one <labPort> record per physical port
};

// "" when the words form a lab command with the right number of arguments,
// else what is wrong (the arguments themselves are checked when it runs).
std::string checkLabCommand(const std::vector<std::string>& words);
// Runs the command on this process's simulated switch (on the loop's thread).
LabResult runLabCommand(const std::vector<std::string>& words);
// One line per command: "cable A B", "vlan rename VLAN NEW", ...
std::string labUsage();

}  // namespace mira::control
