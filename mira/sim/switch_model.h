// Inside the simulated switch: the records behind the platform libraries.
// Only mira's own sources include this; programs use mira/switch.h.
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "mira/core/flat_port_table.h"
#include "mira/sim/record_arena.h"
#include "mira/sim/switch.h"
#include "vlanlib.h"

namespace mira::sw {

using Mac = std::array<uint8_t, 6>;

// Values of a VLAN port's egress and ingress state words.
enum : uint32_t { VPIF_STATE_FORWARDING = 0x3, VPIF_STATE_BLOCKED = 0x0 };

struct Lif;
struct Vlan;
struct Hub;

struct Port {
    MIRA_ARENA_RECORD(Port)
    pif_t rec{};
    uint32_t word = 0;
    Lif* lif = nullptr;  // its own logical port, or its trunk
    bool enabled = true;
    Port* cablePeer = nullptr;
    Hub* hub = nullptr;
    uint32_t inFlight = 0;  // copies sent out of this port that have not arrived yet
};

struct Hub {
    std::string name;
    std::vector<Port*> ports;
};

// On a line of its own: verification reads its record and flag per frame.
struct alignas(64) Member {
    MIRA_ARENA_RECORD(Member)
    vpif_t rec{};
    Lif* lif = nullptr;
    Vlan* vlan = nullptr;
    bool forwarding = true;
};

struct Lif {
    MIRA_ARENA_RECORD(Lif)
    lif_t rec{};
    uint32_t word = 0;
    uint32_t ifIndex = 0;
    bool trunk = false;
    std::vector<Port*> ports;             // the single port, or the trunk's members in order
    std::map<uint32_t, Member*> vlans;    // memberships by VLAN instance
};

// Aligned to a cache line: a received frame's lookups read the record,
// `deleting` and where the flat member table lies from one line.
struct alignas(64) Vlan {
    MIRA_ARENA_RECORD(Vlan)
    vlanIf_t rec{};
    bool deleting = false;
    // The members flat, in the order of `members`, for what runs per frame
    // and per copy sent (the lookup by port, the walk of a tick's sends): a
    // scan of a few words instead of a walk of tree nodes. Kept by
    // addMember and removeMember.
    std::vector<std::pair<uint32_t, Member*>, ArenaAllocator<std::pair<uint32_t, Member*>>> memberByWord;
    std::map<uint32_t, std::unique_ptr<Member>> members;  // by logical port word
};

// VLAN memberships a model may hold in all (64 ports in each of 4094 VLANs),
// so that no topology or lab command can take the memory without end; ports
// are bounded by the chassis (32 slots of 256) and VLANs by their tags.
inline constexpr size_t kMaxMemberships = size_t{64} * 4094;

// A CPU forwarding entry: (MAC, VLAN instance), hashed so that a frame's
// lookup does not grow with the number of VLANs.
using CpuEntry = std::pair<Mac, uint32_t>;
struct CpuEntryHash {
    size_t operator()(const CpuEntry& e) const {
        uint64_t h = e.second;
        for (uint8_t b : e.first) h = (h << 8 | b) * 0x9E3779B97F4A7C15ull >> 1;
        return size_t(h);
    }
};

// The flat tables' ranges: VLAN instances below kFlatVlanInstances, port
// words as mira/core/flat_port_table.h says.
inline constexpr uint32_t kFlatVlanInstances = 1u << 16;

struct Model {
    uint64_t generation = 0;
    size_t memberships = 0;  // of every VLAN
    ChassisInfo chassis;
    std::vector<std::unique_ptr<Port>> ports;
    std::vector<std::unique_ptr<Lif>> lifs;
    std::unordered_map<uint32_t, Port*> portByWord;
    std::unordered_map<uint32_t, Lif*> lifByWord;  // trunk members map to their trunk
    std::set<uint16_t> trunkSlots;                 // slots holding trunks outside the chassis
    std::map<uint32_t, std::unique_ptr<Vlan>> vlans;  // by instance
    // Lookups run per frame and per copy sent: flat tables by VLAN instance
    // (below kFlatVlanInstances; larger ones in the hash map) and by port
    // word (slot * 257 + port), filled with every change of `vlans`,
    // `portByWord` and `lifByWord`.
    std::vector<Vlan*> vlanTable;
    std::unordered_map<uint32_t, Vlan*> largeVlanInstances;
    std::vector<Port*> portTable;
    std::vector<Lif*> lifTable;
    void indexPort(uint32_t word, Port* port);
    void indexVlan(uint32_t instance, Vlan* vlan);
    void indexLif(uint32_t word, Lif* lif);
    // Indexes kept with every change of a VLAN's name, tag or life: lookups
    // by name and by tag run per request and per frame.
    std::unordered_map<std::string, Vlan*> vlanNames;
    std::unordered_map<uint16_t, Vlan*> liveVlanTags;  // VLANs not being deleted
    std::map<std::string, std::unique_ptr<Hub>> hubs;
    std::unordered_set<CpuEntry, CpuEntryHash> cpuEntries;

    // Inline: several run per received frame.
    Port* port(uint32_t word) const {
        if (!flatPortWord(word)) return portByHash(word);
        return flatPortIndex(word) < portTable.size() ? portTable[flatPortIndex(word)] : nullptr;
    }
    Lif* lif(uint32_t word) const {
        if (!flatPortWord(word)) return lifByHash(word);
        return flatPortIndex(word) < lifTable.size() ? lifTable[flatPortIndex(word)] : nullptr;
    }
    Vlan* vlanByInstance(uint32_t instance) const {
        return instance < vlanTable.size() ? vlanTable[instance] : largeVlanByInstance(instance);
    }
    Port* portByHash(uint32_t word) const;
    Lif* lifByHash(uint32_t word) const;
    Vlan* largeVlanByInstance(uint32_t instance) const;
    Vlan* vlanByName(const std::string& name) const;
    Vlan* vlanByTag(uint16_t tag) const;  // live VLANs only
    void markDeleting(Vlan* vlan);
    Lif* lifOf(const lif_t* rec) const;   // the model's object behind a record, or null
    Vlan* vlanOf(const vlanIf_t* rec) const;

    // Building blocks shared by the topology loader and the run-time calls.
    // Each checks its arguments and returns "" or what is wrong.
    std::string setChassis(const Mac& mac, int slots, int first, int portsPerSlot);
    std::string addTrunk(uint32_t word, const std::vector<uint32_t>& members);
    std::string addVlan(const std::string& name, uint32_t instance, uint16_t tag);
    std::string addMember(Vlan* vlan, uint32_t port);
    std::string removeMember(Vlan* vlan, uint32_t port);
    std::string setBlocked(Vlan* vlan, uint32_t port, bool blocked);
    std::string cable(uint32_t a, uint32_t b);
    std::string uncable(uint32_t a);
    std::string joinHub(const std::string& name, uint32_t port);
    std::string leaveHub(uint32_t port);
    std::string rename(Vlan* vlan, const std::string& name);
    std::string retag(Vlan* vlan, uint16_t tag);
    // Resolves a port word to physical ports for an administrative change;
    // "" or what is wrong.
    std::string adminTargets(uint32_t word, std::vector<Port*>* out) const;
    void eraseVlan(uint32_t instance);

    // What an unknown port word is called in error messages.
    std::string unknownPort(uint32_t word) const;
    // A physical port that is cabled, in a hub, or free.
    std::string wireProblem(const Port* p) const;
};

// Bumped with every change of which records exist and which VLAN each port
// belongs to (a record made or erased, a table entry, a membership, a
// model replaced): what a lookup resolved stays valid while it is unchanged.
extern uint64_t gModelShape;

// One received frame's records: its VLAN, the logical port it came in on
// (`lifRc` and `lif` as vlanLibGetLifBySlotPort answers for that word) and
// the port's membership of the VLAN. Valid while `shape` is gModelShape.
struct FrameRecords {
    uint64_t shape = 0;  // 0: nothing resolved
    uint32_t vlanIfInstance = 0;
    uint32_t inWord = 0;
    int lifRc = 0;
    Vlan* vlan = nullptr;
    Lif* lif = nullptr;
    Member* member = nullptr;
};
FrameRecords resolveFrame(const Model& m, uint32_t vlanIfInstance, uint32_t inWord);
// The records of the frame the reader was handed last (kypkt.cpp), so that
// verification's lookups of its VLAN, port and membership are answered
// without finding them again.
extern FrameRecords gHandedFrame;
inline const FrameRecords* handedFrame() { return gHandedFrame.shape == gModelShape ? &gHandedFrame : nullptr; }

// The model in use, made on first use. A plain pointer (constant-initialised,
// no guard) and inline, because every lookup of a frame goes through it.
extern constinit std::unique_ptr<Model> gModel;
Model& makeModel();
inline Model& model() { return gModel ? *gModel : makeModel(); }
// Replaces the model (a topology was loaded).
void installModel(std::unique_ptr<Model> fresh);
uint64_t nextGeneration();

bool linkUp(const Port* p);
bool linkUp(const Lif* l);
Port* activeMember(const Lif* l);  // a trunk's active member; a single port itself
bool upAndForwarding(const Member* m);

// Sets the administrative state of the ports the words name (a trunk's word:
// all its members) and reports the ports that changed. "" or what is wrong;
// nothing changes when a word is bad.
std::string setAdminState(const std::vector<uint32_t>& words, bool enabled);

// Fabric (switch_fabric.cpp).
void transmit(Port* egress, std::shared_ptr<const std::vector<uint8_t>> frame, int hops);
// True when a frame leaving the port reaches something, so it needs a copy
// that outlives the call.
bool carriesOnward(const Port* egress);
// A frame leaving a port that carries nothing onward: counted, captured and
// tapped without copying it.
void transmitNowhere(Port* egress, const uint8_t* frame, size_t length);
void ingress(Port* port, const std::shared_ptr<const std::vector<uint8_t>>& frame, int hops);
FabricStats& stats();
void resetFabric();

// Packet descriptors (kypkt.cpp): offers an admitted frame to every open
// descriptor whose filters take it; false when none does.
struct CpuMeta {
    uint32_t vlanIfInstance;
    uint16_t inPif[2];
    uint16_t inLif[2];
};
bool offerToCpu(const uint8_t* frame, size_t length, uint16_t tag, const CpuMeta& meta);
void resetPacketDescriptors();

// VLAN manager notifications (vlanmgr.cpp), delivered through the loop.
void notifyAddPort(const Vlan& vlan, const Lif& lif);
void notifyRemovePort(const Vlan& vlan, const Lif& lif);
void notifyRename(const std::string& oldName, const std::string& newName, uint32_t instance);
void notifyRetag(const Vlan& vlan, uint16_t oldTag, uint16_t newTag);
// Calls the deletion handlers, then erases the VLAN from the model it was in.
void notifyDeleteVlan(const Vlan& vlan);
void notifyPortState(std::vector<uint32_t> ports, uint32_t state);
void resetVlanMgr();

// Capture (pcap.cpp): called for frames leaving and entering ports.
void captureFrame(uint32_t port, const uint8_t* frame, size_t length);
bool capturing();
void resetCapture();

}  // namespace mira::sw
