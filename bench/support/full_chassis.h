// A full chassis for benchmarks: 4,094 VLANs of 8 ports each on a 6-slot,
// 48-port switch, the daemon started on it in virtual time, and services
// created through the operator path or the client path.
#pragma once
#include <cstdint>
#include <string>

#include "engine/coil.h"

namespace coilbench {

constexpr uint32_t kVlans = 4094;
constexpr uint32_t kPortsPerVlan = 8;
constexpr uint32_t kServicesPerVlan = 3;  // clients "1", "2" and a daemon
constexpr uint32_t kFullChassisServices = kVlans * kServicesPerVlan;

// VLAN i (1-based): name "v<i>", instance i, tag i.
std::string vlanName(uint32_t i);
// The member ports of VLAN i, as port words.
uint32_t vlanPort(uint32_t vlan, uint32_t k);

// Loads the chassis and runs the daemon's start-up in virtual time (once per
// process), with loop detection enabled for operators and logging discarded.
void startDaemon();
// The same on another topology.
void startDaemonOn(const std::string& topology);

// One continuous service of the client on VLAN i, created as its path does.
bool addOperatorService(uint32_t vlan, const char* client, uint32_t interval);
bool addDaemonService(uint32_t vlan, const char* client, uint32_t interval);
// Every service on every VLAN, for all three clients.
void addFullChassis(uint32_t interval);
void removeAllServices();

// A poll's copies on VLAN v handed to the packet layer bare, one send per
// member port (the baseline of the transmit benchmarks); their number.
uint32_t sendBareCopies(uint32_t vlan, const coilPduBuf_t& pdu);

// Gives every VLAN port link (cabled to a port of slots 4-6, in no VLAN).
void giveAllPortsLink();

// Resident set size of the process, bytes.
long residentBytes();

}  // namespace coilbench
