// The switch the daemon sees on a Linux host, derived from the kernel view:
// VLANs, logical ports (single ports and trunks), physical ports and VLAN
// memberships, as the VLAN library's records. Records keep their addresses
// while they exist; port words and VLAN instances stay the same while the
// daemon runs.
//
// Mapping:
// - A watched bridge without VLAN filtering is one VLAN, named after the
//   bridge, with the tag given for it (default 0, a priority tag); instance
//   B << 12, where B numbers the bridges in the order first seen (from 1).
// - A bridge with VLAN filtering gives one VLAN per VID found in its ports'
//   VLAN tables, named "<bridge>.<vid>", tag VID, instance B << 12 | VID.
// - An interface enslaved to a watched bridge is a port of slot 1; a bond or
//   team enslaved to it is a trunk of slot 2 whose members (its slaves) are
//   ports of slot 1. Port numbers are given in the order first seen, from 1;
//   an interface that comes back under the same name gets its old number.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mira/linux/kernel_view.h"
#include "vlanlib.h"

namespace mira::lnx {

inline constexpr uint16_t kPortSlot = 1;
inline constexpr uint16_t kTrunkSlot = 2;
inline constexpr uint16_t kMaxPortNumber = 256;  // a port list holds 256 ports per slot

struct WatchedBridge {
    std::string name;
    uint16_t tag = 0;  // the probe's tag on a bridge without VLAN filtering
};

struct Lif;
struct Vlan;

struct Member {
    vpif_t rec{};
    Lif* lif = nullptr;
    Vlan* vlan = nullptr;
    bool untagged = false;  // egress untagged (VLAN filtering)
};

struct Port {
    pif_t rec{};
    uint32_t word = 0;
    int ifindex = 0;
    std::string name;
    Lif* lif = nullptr;
};

struct Lif {
    lif_t rec{};
    uint32_t word = 0;
    int ifindex = 0;  // the bridge port: the interface itself, or the bond
    int bridge = 0;   // ifindex of its bridge
    std::string name;
    bool trunk = false;
    std::vector<Port*> ports;           // the port itself, or the trunk's slaves
    std::map<uint32_t, Member*> vlans;  // by VLAN instance
};

struct Vlan {
    vlanIf_t rec{};
    int bridge = 0;
    uint16_t vid = 0;  // 0 on a bridge without VLAN filtering
    std::map<uint32_t, std::unique_ptr<Member>> members;  // by lif word
    bool deleting = false;
};

// A change the VLAN manager reports, in the order they happened.
struct VlanChange {
    enum Kind { AddPort, RemovePort, Rename, DeleteVlan } kind;
    std::string name;     // the VLAN's name (old name for Rename)
    std::string newName;  // Rename
    uint32_t instance = 0;
    uint32_t ifIndex = 0;  // port changes: the bridge port's ifindex
    uint32_t word = 0;     // port changes: the logical port's word
};

class BridgeModel {
  public:
    // Watches the bridges named (all bridges when none is named).
    explicit BridgeModel(std::vector<WatchedBridge> watched = {});

    // Brings the records in line with the kernel view; the changes the VLAN
    // manager reports for it. VLANs that went away stay findable (deleting)
    // until eraseDeleted().
    std::vector<VlanChange> sync(const KernelView& view);
    void eraseDeleted(uint32_t instance);

    Vlan* vlanByName(const std::string& name) const;
    Vlan* vlanByInstance(uint32_t instance) const;
    Vlan* vlanOf(const vlanIf_t* rec) const;
    Lif* lif(uint32_t word) const;  // a trunk member's word gives its trunk
    Lif* lifOf(const lif_t* rec) const;
    Port* port(uint32_t word) const;
    Port* portByIfindex(int ifindex) const;
    Lif* lifByIfindex(int ifindex) const;
    Member* memberOf(const vpif_t* rec) const;
    const std::map<uint32_t, std::unique_ptr<Port>>& ports() const { return ports_; }
    const std::map<uint32_t, std::unique_ptr<Vlan>>& vlans() const { return vlans_; }
    // The number of a bridge (1, 2, ...), 0 when not watched.
    int bridgeNumber(int ifindex) const;
    // The VLAN a frame entering the lif belongs to, given its VID (-1 when
    // it came untagged): null when none.
    Vlan* ingressVlan(const Lif& lif, int vid, const KernelView& view) const;

  private:
    bool watches(const KernelLink& bridge) const;
    uint16_t tagOf(const std::string& bridge) const;
    uint32_t numberFor(std::map<std::string, uint16_t>& byName, uint16_t slot, const std::string& name);

    std::vector<WatchedBridge> watched_;
    std::map<int, int> bridgeNumbers_;  // bridge ifindex -> number
    int nextBridge_ = 1;
    std::map<std::string, uint16_t> portNumbers_, trunkNumbers_;  // by interface name
    std::map<uint32_t, std::unique_ptr<Vlan>> vlans_;  // by instance
    std::map<uint32_t, std::unique_ptr<Lif>> lifs_;    // by word
    std::map<uint32_t, std::unique_ptr<Port>> ports_;  // by word
};

}  // namespace mira::lnx
