// The lab commands' words and usage.
#include "mira/control/control_lab_table.h"


namespace mira::control {

namespace {

constexpr size_t kAny = size_t(-1);

const std::vector<LabSyntax>& table() {
    static const std::vector<LabSyntax> commands = {
        {LabOp::Cable, {"cable"}, "A B", 2, 2},
        {LabOp::Uncable, {"uncable"}, "PORT", 1, 1},
        {LabOp::Hub, {"hub"}, "NAME PORT...", 2, kAny},
        {LabOp::Unhub, {"unhub"}, "PORT...", 1, kAny},
        {LabOp::PortEnable, {"port", "enable"}, "PORT", 1, 1},
        {LabOp::PortDisable, {"port", "disable"}, "PORT", 1, 1},
        {LabOp::Block, {"block"}, "VLAN PORT", 2, 2},
        {LabOp::Unblock, {"unblock"}, "VLAN PORT", 2, 2},
        {LabOp::VlanAddPort, {"vlan", "add-port"}, "VLAN PORT", 2, 2},
        {LabOp::VlanRemovePort, {"vlan", "remove-port"}, "VLAN PORT", 2, 2},
        {LabOp::VlanRename, {"vlan", "rename"}, "VLAN NEW", 2, 2},
        {LabOp::VlanRetag, {"vlan", "retag"}, "VLAN TAG", 2, 2},
        {LabOp::VlanDelete, {"vlan", "delete"}, "VLAN", 1, 1},
        {LabOp::CaptureStop, {"capture", "stop"}, "", 0, 0},
        {LabOp::Capture, {"capture"}, "FILE [PORT...]", 1, kAny},
        {LabOp::Ports, {"ports"}, "", 0, 0},
        {LabOp::Role, {"role"}, "primary|backup|standby", 1, 1},
        {LabOp::Checkpointing, {"checkpointing"}, "on|off", 1, 1},
        {LabOp::Broadcast, {"broadcast"}, "VLAN PORT [COUNT]", 2, 3},
        {LabOp::HopLimit, {"hop-limit"}, "N|none", 1, 1},
    };
    return commands;
}

std::string joined(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words) out += (out.empty() ? "" : " ") + w;
    return out;
}

std::string usageOf(const LabSyntax& c) { return "lab " + joined(c.words) + (*c.args ? std::string(" ") + c.args : ""); }

}  // namespace

const LabSyntax* matchLabCommand(const std::vector<std::string>& words, std::string* error) {
    const LabSyntax* best = nullptr;
    for (const LabSyntax& c : table()) {
        if (c.words.size() > words.size()) continue;
        bool same = true;
        for (size_t i = 0; i < c.words.size(); i++) same = same && c.words[i] == words[i];
        if (same && (best == nullptr || c.words.size() > best->words.size())) best = &c;
    }
    if (best == nullptr) {
        *error = words.empty() ? "lab command missing" : "unknown lab command \"" + joined(words) + "\"";
        return nullptr;
    }
    const size_t n = words.size() - best->words.size();
    if (n < best->minArgs || n > best->maxArgs) {
        *error = "usage: " + usageOf(*best);
        return nullptr;
    }
    return best;
}

std::string checkLabCommand(const std::vector<std::string>& words) {
    std::string error;
    matchLabCommand(words, &error);
    return error;
}

std::string labUsage() {
    std::string out;
    for (const LabSyntax& c : table()) out += usageOf(c) + "\n";
    return out;
}

}  // namespace mira::control
