// The daemon for the fuzz targets: started once per process on a small
// simulated switch in virtual time, with every log condition on (so the
// messages' formatting runs on hostile data) and the log discarded
// (COIL_FUZZ_LOG=1 shows it).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "clients/coil_server.h"
#include "engine/coil.h"
#include "mira/core/cmmgr.h"

namespace coilfuzz {

// Two slots of 8 ports; VLAN "blue" (instance 100, tag 100) on 1:1-1:4 and
// the trunk 3:1 of 1:5-1:7, VLAN "red" (instance 200, tag 200) on 1:1, 1:2,
// 2:1, 2:2. Ports 1:1, 1:2 and the trunk member 1:5 have link (cabled to
// spare ports of slot 2); nothing loops.
extern const char* const kChassis;
constexpr uint32_t kBlue = 100, kRed = 200;
constexpr uint16_t kBlueTag = 100, kRedTag = 200;

constexpr uint32_t port(uint32_t slot, uint32_t number) { return slot << 16 | number; }

// Loads the chassis and runs the daemon's start-up to its end with loop
// detection enabled, as the given node role (6 primary, 5 backup). Only
// the first call does anything.
void startDaemon(uint32_t nodeState);

// Runs what is due now; moves virtual time on.
void settle();
void advanceSeconds(int64_t seconds);

// An operator's service of a client on a VLAN, through the configuration
// manager's set path; extra attributes as given. True when created.
bool configure(std::string_view vlan, std::string_view client, const std::vector<mira::CmAttr>& extra);

// A client daemon's message, encoded as it travels, delivered to the
// message server as from `peer`.
void sendClientMessage(uint32_t peer, const coilClientMsg& message);
// A Register and Start Poll of a continuous service on a VLAN for `peer`.
void startDaemonService(uint32_t peer, const char* clientId, uint32_t vlanIfInstance, uint32_t disablePortDuration);

// The state each target's inputs start from, restored before each input
// (services and entries that the previous input ended come back):
// on the primary, "1" on blue (continuous, action 3, ingress ports
// disabled for 2 s), "2" on blue (3 polls, action 2, ended by a loop), "1"
// on red (action 5) and the client daemon service "d" on red of peer 7
// (disables for 2 s); identifiers 1 to 4 in that order.
constexpr uint32_t kDaemonPeer = 7;
void ensureFrameServices();
// On the backup, "1" on blue (disables for 300 s), "1" on red, "2" on blue
// (identifiers 1 to 3), and exactly the entries of 1:2 (disabled 100 s ago)
// and 1:3 (400 s ago) held for blue's "1".
void ensureBackupState();
// A port control record (type 3, command 1) of a port held for blue's "1".
std::vector<uint8_t> portControlAdd(uint32_t inPif, uint32_t secondsAgo);

// The PDU a service sent out of `egress`, as it comes back (62 bytes).
std::vector<uint8_t> returningPdu(const coilServiceNode* sr, uint32_t egress);

}  // namespace coilfuzz
