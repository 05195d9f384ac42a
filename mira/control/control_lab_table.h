// The lab commands' token table: words, arguments and their counts. Kept
// apart from what the commands do, so that a client can check a command
// without linking the simulated switch.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace mira::control {

enum class LabOp {
    Cable, Uncable, Hub, Unhub, PortEnable, PortDisable, Block, Unblock, VlanAddPort, VlanRemovePort,
    VlanRename, VlanRetag, VlanDelete, CaptureStop, Capture, Ports, Role, Checkpointing, Broadcast, HopLimit,
};

struct LabSyntax {
    LabOp op;
    std::vector<std::string> words;  // the command's own words
    const char* args;                // usage of its arguments
    size_t minArgs, maxArgs;
};

// The command whose words the given words start with (the longest such),
// with an acceptable number of arguments; null with the problem in *error.
const LabSyntax* matchLabCommand(const std::vector<std::string>& words, std::string* error);

// "" when the words form a lab command with the right number of arguments,
// else what is wrong (the arguments themselves are checked when it runs).
std::string checkLabCommand(const std::vector<std::string>& words);
// One line per command: "cable A B", "vlan rename VLAN NEW", ...
std::string labUsage();

}  // namespace mira::control
