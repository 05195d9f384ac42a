// coilctl: the operator's tool for coild, over the control socket.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mira/control/control_message.h"

namespace coilctl {

using Args = std::vector<std::string>;

// Exit statuses.
enum : int { kExitOk = 0, kExitRefused = 1, kExitUsage = 2, kExitUnreachable = 3 };

enum class Format { Table, Xml, Json, KeyValue };

// How a reply is shown.
enum class View {
    Done,           // a change: a confirmation line
    Global,         // coilGlobalCfg as settings and counters
    Services,       // coilServiceNode records as a table
    Status,         // one coilServiceStatus record
    DisabledPorts,  // coilDisabledPortStatus records as a table
    Records,        // any records, attribute by attribute
    Dump,           // what the daemon printed
    Saved,          // the save request's path and record count
    Lab,            // a lab change: its line
    LabPorts,       // the lab ports table
    Vlans,          // the switch's VLANs as a table
    Ports,          // the switch's ports with their loops as a table
    Watch,          // the event stream (watchEvents)
};

struct Plan {
    uint32_t type = 0;
    mira::control::Message request;
    View view = View::Done;
    std::string doneText;  // View::Done: shown on success
    std::string notFound;  // shown (and status 1) when a get finds no entry
};

struct Command {
    std::vector<std::string> words;  // the command's own words
    const char* usage;               // its arguments
    const char* summary;             // one line
    const char* help;                // details, may be empty
    // Builds the request from the arguments; false with a usage problem.
    std::function<bool(const Args&, Plan*, std::string*)> build;
};

const std::vector<Command>& commands();

// Shows a reply; returns the exit status. socketPath is coild's, for the
// hints after a refusal.
int render(const Plan& plan, const mira::control::Message& reply, Format format, const std::string& socketPath);
// Prints coild's events until interrupted; returns the exit status.
int watchEvents(const std::string& socketPath, Format format);

}  // namespace coilctl
