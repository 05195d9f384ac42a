// The simulated switch chassis: ports, trunks, VLANs, cables and hubs, the
// CPU's forwarding entries, and the fabric that carries frames between them.
// Programs and tests drive it through these functions; the platform
// libraries (vlanlib, kypkt, fdb) answer the daemon from the same model.
// Everything here runs on the loop's thread.
//
// Ports are named by port words: slot in the upper 16 bits, port number in
// the lower 16. A trunk is a logical port with its own slot and port (outside
// the physical ports) and one or more physical members. VLAN membership and
// blocking name logical ports (a trunk by its own word); the VLAN library's
// lookups resolve a member's word to its trunk.
//
// Link rule: a physical port is link-up when it is administratively enabled
// and at least one other enabled port is at the other end of its cable or in
// its hub. A trunk is link-up when one of its members is. A trunk's active
// member is its first enabled, link-up member, else its first enabled member,
// else none.
//
// Frames: a frame leaving a port reaches, as a later loop event, the other
// end of its cable or every other port of its hub. An entering frame is
// dropped when the port is disabled, the frame has no 802.1Q tag or a tag of
// no VLAN, or the port's logical port is not a member of that VLAN or is
// blocked in it. A frame whose destination MAC has a CPU forwarding entry on
// that VLAN goes to the CPU only: to each open packet descriptor with a
// filter for that address and tag (dropped when none has one). Every other
// frame is flooded out of the VLAN's other forwarding members; a frame is
// flooded at most hopLimit times, so a cabled loop cannot circulate forever.
// A port holds at most kEgressQueueFrames forwarded copies on its wire at
// once (its line rate, as it were); what it floods beyond them is dropped
// and counted, so a flood multiplied by a hub stays bounded in memory.
// Frames the CPU sends are never held back (a switch queues its own control
// frames first).
// Nothing is learned: the model never narrows a flood to one port.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vlanlib.h"

namespace mira {

constexpr uint32_t portWord(uint32_t slot, uint32_t port) { return (slot & 0xffff) << 16 | (port & 0xffff); }
constexpr uint16_t wordSlot(uint32_t word) { return word >> 16; }
constexpr uint16_t wordPort(uint32_t word) { return word & 0xffff; }
// "slot:port".
std::string portText(uint32_t word);
// Parses "slot:port" (decimal); false when malformed.
bool parsePortText(const std::string& text, uint32_t* word);

// Port list helpers (the bit layout of PORTLIST_T, relative to the current
// first slot number).
void portListAdd(PORTLIST_T* list, uint32_t word);
bool portListHas(const PORTLIST_T* list, uint32_t word);

struct ChassisInfo {
    uint8_t mac[6] = {};
    uint16_t slotCount = 0;
    uint16_t slotFirst = 0;
    uint16_t portsPerSlot = 0;
};
// The loaded chassis; all zero before a topology is loaded.
ChassisInfo chassisInfo();

// Run-time changes. Each returns false, with a message in *error when given,
// and changes nothing when refused. The VLAN manager's notifications for
// membership, name, tag, deletion and administrative state are delivered
// through the loop after the call has returned.
bool cablePorts(uint32_t a, uint32_t b, std::string* error = nullptr);
bool uncablePort(uint32_t port, std::string* error = nullptr);
// A hub is created by its first port and vanishes with its last.
bool joinHub(const std::string& hub, uint32_t port, std::string* error = nullptr);
bool leaveHub(uint32_t port, std::string* error = nullptr);
// Operator enable/disable; a trunk's word sets all of its members.
bool setPortEnabled(uint32_t port, bool enabled, std::string* error = nullptr);
// Spanning-tree state of a logical port in a VLAN.
bool setPortBlocked(const std::string& vlan, uint32_t port, bool blocked, std::string* error = nullptr);
bool createVlan(const std::string& name, uint32_t instance, uint16_t tag, std::string* error = nullptr);
bool addVlanPort(const std::string& vlan, uint32_t port, std::string* error = nullptr);
bool removeVlanPort(const std::string& vlan, uint32_t port, std::string* error = nullptr);
bool renameVlan(const std::string& vlan, const std::string& newName, std::string* error = nullptr);
bool retagVlan(const std::string& vlan, uint16_t tag, std::string* error = nullptr);
// The VLAN stops carrying frames at once; its record stays findable until the
// deletion's handlers have run.
bool deleteVlan(const std::string& vlan, std::string* error = nullptr);

// Queries (false / 0 for unknown ports).
bool portExists(uint32_t port);
bool portEnabled(uint32_t port);
bool portLinkUp(uint32_t port);
bool portBlocked(const std::string& vlan, uint32_t port);
uint32_t trunkActiveMember(uint32_t trunk);  // 0 when none
uint32_t cablePeer(uint32_t port);           // 0 when not cabled
std::string hubOf(uint32_t port);            // "" when in no hub
std::vector<uint32_t> vlanPorts(const std::string& vlan);  // logical ports, in order
bool hasCpuEntry(const uint8_t mac[6], uint32_t vlanIfInstance);

// A frame arriving on a physical port from the device on its wire, handled
// now (the caller is outside the switch, e.g. a test or a benchmark).
void injectFrame(uint32_t port, const uint8_t* frame, size_t length);

// How often one frame may be flooded before the fabric drops it (default
// 16; below 0: no limit, frames on a loop circulate until it is broken, so
// in virtual time drain() and advance() do not return while it lasts).
void setHopLimit(int hops);
int hopLimit();
inline constexpr uint32_t kEgressQueueFrames = 1024;

// A broadcast frame of the VLAN with the given tag, from a host on the
// port's wire (64 bytes, source MAC 02:00:00:00:00:01), handled now.
void injectBroadcast(uint32_t port, uint16_t tag);
// While set, frames leave their ports (counted, tapped, captured) but reach
// nothing: a discarding fabric for measurements.
void setDiscardTransmit(bool discard);
// Frames the CPU queue of one packet descriptor holds before it drops
// (default 16384).
void setCpuQueueLimit(size_t frames);
// The 44 bytes of the last receive filter specification handed to the
// packet library (empty before any).
std::vector<uint8_t> lastFilterSpec();

struct FabricStats {
    uint64_t cpuSent = 0;         // frames handed to sendKypkt
    uint64_t transmitted = 0;     // frames put on a wire by a port
    uint64_t received = 0;        // frames that entered an enabled port
    uint64_t flooded = 0;         // copies sent out by flooding
    uint64_t toCpu = 0;           // frames queued for a packet descriptor
    uint64_t dropTxDisabled = 0;  // not sent: egress port disabled or trunk without active member
    uint64_t dropRxDisabled = 0;  // entering a disabled port
    uint64_t dropUntagged = 0;
    uint64_t dropUnknownVlan = 0;
    uint64_t dropNotMember = 0;
    uint64_t dropBlocked = 0;
    uint64_t dropNoFilter = 0;    // CPU entry but no filter admits it
    uint64_t dropHopLimit = 0;
    uint64_t dropCongested = 0;   // not flooded: the egress port had kEgressQueueFrames on its wire
    uint64_t dropQueueFull = 0;
};
const FabricStats& fabricStats();

// Back to an empty switch: no chassis, no packet descriptors (closed), no
// handlers, no capture, zero statistics.
void resetSwitch();

}  // namespace mira
