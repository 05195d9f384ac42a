// What the kernel says about its network interfaces, kept from rtnetlink
// link messages (dumps and notifications): names, kinds, masters, link
// state, bridge port states and bridge VLAN tables; and which host entries
// of the bridges' multicast databases were removed. Pure bookkeeping, fed
// whole netlink messages, so it can be tested on recorded bytes.
#pragma once
#include <linux/netlink.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace mira::lnx {

// A bridge port's VLAN: egress untagged, and whether it is the port's PVID.
struct PortVlan {
    bool untagged = false;
    bool pvid = false;
};

struct KernelLink {
    int ifindex = 0;
    std::string name;
    std::string kind;        // "bridge", "bond", "team", "veth", ... ("" when unknown)
    std::string slaveKind;   // the master's kind as the kernel reports it ("bridge", "bond", ...)
    int master = 0;          // ifindex of its bridge or bond, 0 when none
    bool adminUp = false;    // IFF_UP
    bool lowerUp = false;    // IFF_LOWER_UP: carrier
    std::array<uint8_t, 6> mac{};
    bool vlanFiltering = false;   // bridges: vlan_filtering 1
    bool mcastSnooping = true;    // bridges: mcast_snooping
    int portState = -1;           // bridge ports: BR_STATE_* (3 forwarding, 0 disabled), -1 unknown
    int bondSlaveState = -1;      // bond slaves: 0 active, 1 backup, -1 unknown
    std::map<uint16_t, PortVlan> vlans;  // bridge ports with VLAN filtering: VID -> egress
    bool vlansKnown = false;             // a bridge-family message has given the VLAN table

    bool up() const { return adminUp && lowerUp; }
};

// A layer-2 entry of a bridge's multicast database that delivers to the
// bridge itself (the host).
struct HostGroup {
    int bridge = 0;  // ifindex
    uint16_t vid = 0;
    std::array<uint8_t, 6> mac{};
    bool operator==(const HostGroup&) const = default;
    bool operator<(const HostGroup& o) const { return std::tie(bridge, vid, mac) < std::tie(o.bridge, o.vid, o.mac); }
};

// Host entries removed since the last look, and whether some removals may
// have gone unseen (the view was dumped anew: notifications were lost).
struct GroupRemovals {
    std::vector<HostGroup> removed;
    bool someMissed = false;
};

// Calls fn (when given) for each whole message of a netlink read; the bytes
// those messages take. Less than length: the read is cut or malformed.
size_t forEachMessage(const void* buffer, size_t length, const std::function<void(const nlmsghdr*)>& fn);

class KernelView {
  public:
    // Applies one RTM_NEWLINK / RTM_DELLINK message (link or bridge family)
    // or RTM_DELMDB message. False when the message is not one of those or
    // is malformed (ignored).
    bool apply(const nlmsghdr* message);
    // Applies every message of a buffer as read from a netlink socket.
    void applyAll(const void* buffer, size_t length);

    const std::map<int, KernelLink>& links() const { return links_; }
    const KernelLink* link(int ifindex) const;
    const KernelLink* linkByName(const std::string& name) const;
    void clear() {
        links_.clear();
        removals_.someMissed = true;
    }
    GroupRemovals takeGroupRemovals() { return std::exchange(removals_, {}); }

  private:
    bool applyGroupRemoval(const nlmsghdr* message);

    std::map<int, KernelLink> links_;
    GroupRemovals removals_;
};

}  // namespace mira::lnx
