// coil-client's parts: options, the commands, and how a report is printed.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "coil_client.h"

namespace coilclient {

// Exit statuses, as coilctl's: done, refused (or no effect), usage error,
// coild unreachable (also: it closed the connection, or a watch timed out).
enum { kExitOk = 0, kExitRefused = 1, kExitUsage = 2, kExitUnreachable = 3 };

struct Key {
    std::string clientId;
    std::string vlan;             // as given: a VLAN instance number or a VLAN name
    uint32_t vlanIfInstance = 0;  // resolved before the request is sent
};

struct Options {
    std::string runDir, socketPath;
    double waitSeconds = 0;  // keep trying to connect this long
    uint16_t firstSlot = 1;
    std::string command;
    bool haveKey = false;  // register/start/stop/deregister; watch with --register
    Key key;
    std::vector<coilClientPort> ports;
    uint32_t interval = 1;
    uint32_t count = 0;  // 0: continuous
    bool json = false;
    bool restart = false;
    long reports = 0;       // watch: stop after this many (0: never)
    double timeout = 0;     // watch: give up after this long (0: never)
};

// Parses the command line; on a usage error or --help prints and exits.
Options parseCommandLine(int argc, char** argv);

int runCommand(Options o);

struct VlanInfo {
    std::string name;
    uint32_t instance = 0;
    uint32_t tag = 0;
    std::string ports;  // port names, comma separated
};
// The switch's VLANs, from coild's control socket; false with the reason.
bool listVlans(const Options& o, std::vector<VlanInfo>* out, std::string* error);
// 1 when coild has a service of the key (client, resolved instance), 0 when
// not, -1 when coild does not say (the reason in *error).
int serviceExists(const Options& o, std::string* error);

// One line, without the newline.
std::string reportLine(const coilClientReport& r);
std::string reportJson(const coilClientReport& r);
// One line of JSON.
std::string jsonText(const nlohmann::ordered_json& j);
std::string portText(coilClientPort p);

}  // namespace coilclient
