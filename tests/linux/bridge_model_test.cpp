// The Linux backend's view of the kernel and the switch derived from it:
// recorded rtnetlink messages of a real bridge, and bridge-family messages
// of a VLAN-filtering bridge and a bond built the way the kernel sends them
// (this project's build kernel has no VLAN filtering to record them from).
#include <gtest/gtest.h>
#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/if_bridge.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include "linux/recorded_netlink.h"
#include "mira/linux/bridge_model.h"
#include "mira/linux/probe_sockets.h"

using namespace mira::lnx;

namespace {

std::vector<uint8_t> hex(const char* text) {
    std::vector<uint8_t> out;
    for (size_t i = 0; text[i] && text[i + 1]; i += 2) out.push_back(uint8_t(std::stoi(std::string(text + i, 2), nullptr, 16)));
    return out;
}

void apply(KernelView& view, std::vector<uint8_t> bytes, uint16_t type = RTM_NEWLINK) {
    auto* nlh = reinterpret_cast<nlmsghdr*>(bytes.data());
    nlh->nlmsg_type = type;
    ASSERT_TRUE(view.apply(nlh));
}

// A link message as the kernel builds it: the interface, its master, its
// kind, and for bridges vlan_filtering, for bridge ports a bridge-family
// message with the VLAN list.
struct LinkMessage {
    std::vector<uint8_t> buf = std::vector<uint8_t>(4096);
    nlmsghdr* nlh;
    LinkMessage(int ifindex, uint8_t family, uint16_t type = RTM_NEWLINK) {
        nlh = mnl_nlmsg_put_header(buf.data());
        nlh->nlmsg_type = type;
        auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
        ifi->ifi_family = family;
        ifi->ifi_index = ifindex;
        ifi->ifi_flags = IFF_UP | IFF_LOWER_UP;
    }
};

void link(KernelView& view, int ifindex, const char* name, const char* kind, int master, const char* slaveKind = "",
          int slaveState = -1, bool vlanFiltering = false) {
    LinkMessage m(ifindex, AF_UNSPEC);
    mnl_attr_put_strz(m.nlh, IFLA_IFNAME, name);
    if (master) mnl_attr_put_u32(m.nlh, IFLA_MASTER, uint32_t(master));
    nlattr* info = mnl_attr_nest_start(m.nlh, IFLA_LINKINFO);
    mnl_attr_put_strz(m.nlh, IFLA_INFO_KIND, kind);
    if (std::string(kind) == "bridge") {
        nlattr* data = mnl_attr_nest_start(m.nlh, IFLA_INFO_DATA);
        mnl_attr_put_u8(m.nlh, IFLA_BR_VLAN_FILTERING, vlanFiltering);
        mnl_attr_nest_end(m.nlh, data);
    }
    if (*slaveKind) {
        mnl_attr_put_strz(m.nlh, IFLA_INFO_SLAVE_KIND, slaveKind);
        nlattr* data = mnl_attr_nest_start(m.nlh, IFLA_INFO_SLAVE_DATA);
        if (std::string(slaveKind) == "bond") mnl_attr_put_u8(m.nlh, IFLA_BOND_SLAVE_STATE, uint8_t(slaveState));
        else mnl_attr_put_u8(m.nlh, IFLA_BRPORT_STATE, BR_STATE_FORWARDING);
        mnl_attr_nest_end(m.nlh, data);
    }
    mnl_attr_nest_end(m.nlh, info);
    ASSERT_TRUE(view.apply(m.nlh));
}

// Bridge-family VLAN list: {vid, flags} pairs, ranges as the kernel
// compresses them (RANGE_BEGIN entry, RANGE_END entry).
void vlans(KernelView& view, int ifindex, std::vector<std::pair<uint16_t, uint16_t>> entries) {
    LinkMessage m(ifindex, AF_BRIDGE);
    nlattr* spec = mnl_attr_nest_start(m.nlh, IFLA_AF_SPEC);
    for (auto [vid, flags] : entries) {
        bridge_vlan_info info{flags, vid};
        mnl_attr_put(m.nlh, IFLA_BRIDGE_VLAN_INFO, sizeof info, &info);
    }
    mnl_attr_nest_end(m.nlh, spec);
    ASSERT_TRUE(view.apply(m.nlh));
}

std::string describe(const std::vector<VlanChange>& changes) {
    static const char* const kinds[] = {"add", "remove", "rename", "delete"};
    std::string out;
    for (const VlanChange& c : changes)
        out += std::string(out.empty() ? "" : " ") + kinds[c.kind] + ":" + c.name + (c.newName.empty() ? "" : ">" + c.newName) +
               (c.word ? "@" + std::to_string(c.word >> 16) + ":" + std::to_string(c.word & 0xffff) : "");
    return out;
}

}  // namespace

TEST(KernelView, RecordedBridgeAndPortThroughTheirLife) {
    KernelView view;
    apply(view, hex(recorded::kBridgeUp));
    apply(view, hex(recorded::kPortForwarding));
    apply(view, hex(recorded::kPortBridgeFamily));
    const KernelLink* br = view.linkByName("br0");
    const KernelLink* p1 = view.linkByName("p1");
    ASSERT_TRUE(br && p1);
    EXPECT_EQ(br->kind, "bridge");
    EXPECT_FALSE(br->vlanFiltering);
    EXPECT_TRUE(br->mcastSnooping);
    EXPECT_EQ(p1->kind, "veth");
    EXPECT_EQ(p1->master, br->ifindex);
    EXPECT_EQ(p1->slaveKind, "bridge");
    EXPECT_EQ(p1->portState, BR_STATE_FORWARDING);
    EXPECT_TRUE(p1->up());

    BridgeModel model({{"br0", 7}});
    EXPECT_EQ(describe(model.sync(view)), "add:br0@1:1");
    Vlan* v = model.vlanByName("br0");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->rec.vlanIfInstance, 1u << 12);
    EXPECT_EQ(v->rec.tag, 7);
    EXPECT_EQ(v->rec.numVpifs, 1);
    EXPECT_EQ(model.portByIfindex(p1->ifindex)->word, 0x10001u);

    apply(view, hex(recorded::kPortDisabled));
    EXPECT_EQ(view.linkByName("p1")->portState, BR_STATE_DISABLED);
    EXPECT_EQ(describe(model.sync(view)), "");

    apply(view, hex(recorded::kPortFreed));
    EXPECT_EQ(view.linkByName("p1")->master, 0);
    EXPECT_EQ(describe(model.sync(view)), "remove:br0@1:1");
    EXPECT_EQ(model.port(0x10001), nullptr);

    apply(view, hex(recorded::kBridgeUp), RTM_DELLINK);
    EXPECT_EQ(describe(model.sync(view)), "delete:br0");
    EXPECT_NE(model.vlanByName("br0"), nullptr) << "found by the deletion's handlers";
    model.eraseDeleted(1u << 12);
    EXPECT_EQ(model.vlanByName("br0"), nullptr);
}

TEST(KernelView, MalformedAndForeignMessagesAreIgnored) {
    KernelView view;
    std::vector<uint8_t> cut = hex(recorded::kPortForwarding);
    reinterpret_cast<nlmsghdr*>(cut.data())->nlmsg_len = 20;  // shorter than its header
    EXPECT_FALSE(view.apply(reinterpret_cast<nlmsghdr*>(cut.data())));
    std::vector<uint8_t> route = hex(recorded::kPortForwarding);
    reinterpret_cast<nlmsghdr*>(route.data())->nlmsg_type = RTM_NEWROUTE;
    EXPECT_FALSE(view.apply(reinterpret_cast<nlmsghdr*>(route.data())));
    EXPECT_FALSE(view.apply(LinkMessage(9, AF_BRIDGE).nlh)) << "bridge family of an unknown link";
    EXPECT_TRUE(view.links().empty());
}

TEST(BridgeModel, VlanFilteringBridgeGivesOneVlanPerVidWithEgressAndPvid) {
    KernelView view;
    link(view, 10, "br1", "bridge", 0, "", -1, true);
    link(view, 11, "a", "veth", 10, "bridge");
    link(view, 12, "b", "veth", 10, "bridge");
    vlans(view, 11, {{1, BRIDGE_VLAN_INFO_PVID | BRIDGE_VLAN_INFO_UNTAGGED}, {10, 0}});
    vlans(view, 12, {{10, BRIDGE_VLAN_INFO_UNTAGGED | BRIDGE_VLAN_INFO_PVID},
                     {20, BRIDGE_VLAN_INFO_RANGE_BEGIN},
                     {22, BRIDGE_VLAN_INFO_RANGE_END}});
    BridgeModel model;
    EXPECT_EQ(describe(model.sync(view)),
              "add:br1.1@1:1 add:br1.10@1:1 add:br1.10@1:2 add:br1.20@1:2 add:br1.21@1:2 add:br1.22@1:2");
    struct Case {
        const char* vlan;
        uint16_t tag;
        uint32_t port;
        bool untagged;
    } cases[] = {{"br1.1", 1, 0x10001, true}, {"br1.10", 10, 0x10001, false}, {"br1.10", 10, 0x10002, true},
                 {"br1.21", 21, 0x10002, false}};
    for (const Case& c : cases) {
        Vlan* v = model.vlanByName(c.vlan);
        ASSERT_TRUE(v) << c.vlan;
        EXPECT_EQ(v->rec.tag, c.tag) << c.vlan;
        EXPECT_EQ(v->rec.vlanIfInstance, 1u << 12 | c.tag) << c.vlan;
        ASSERT_TRUE(v->members.count(c.port)) << c.vlan;
        EXPECT_EQ(v->members[c.port]->untagged, c.untagged) << c.vlan;
    }
    // A frame entering untagged belongs to the port's PVID; a tagged one to its VID.
    EXPECT_EQ(model.ingressVlan(*model.lif(0x10002), -1, view), model.vlanByName("br1.10"));
    EXPECT_EQ(model.ingressVlan(*model.lif(0x10002), 21, view), model.vlanByName("br1.21"));
    EXPECT_EQ(model.ingressVlan(*model.lif(0x10001), 21, view), nullptr) << "not a member";

    // VID 10 leaves port a, the bridge is renamed.
    vlans(view, 11, {{1, BRIDGE_VLAN_INFO_PVID | BRIDGE_VLAN_INFO_UNTAGGED}});
    link(view, 10, "core", "bridge", 0, "", -1, true);
    EXPECT_EQ(describe(model.sync(view)),
              "rename:br1.1>core.1 rename:br1.10>core.10 remove:core.10@1:1 rename:br1.20>core.20 rename:br1.21>core.21 "
              "rename:br1.22>core.22");
}

TEST(BridgeModel, BondInABridgeIsATrunkOfItsSlavesAndNumbersStay) {
    KernelView view;
    link(view, 20, "br0", "bridge", 0);
    link(view, 21, "bond0", "bond", 20, "bridge");
    link(view, 22, "e1", "veth", 21, "bond", 1);
    link(view, 23, "e2", "veth", 21, "bond", 0);
    link(view, 24, "p9", "veth", 20, "bridge");
    BridgeModel model;
    EXPECT_EQ(describe(model.sync(view)), "add:br0@1:3 add:br0@2:1");
    Lif* trunk = model.lif(0x20001);
    ASSERT_TRUE(trunk && trunk->trunk);
    EXPECT_EQ(trunk->rec.pif, nullptr) << "a trunk's traffic goes by its active member";
    ASSERT_EQ(trunk->ports.size(), 2u);
    EXPECT_EQ(trunk->ports[0]->name, "e1");
    EXPECT_EQ(model.lif(trunk->ports[1]->word), trunk) << "a member's word gives its trunk";
    EXPECT_EQ(view.link(23)->bondSlaveState, 0);

    // p9 leaves and comes back as a new interface under the same name: same number.
    LinkMessage gone(24, AF_UNSPEC, RTM_DELLINK);
    ASSERT_TRUE(view.apply(gone.nlh));
    EXPECT_EQ(describe(model.sync(view)), "remove:br0@1:3");
    link(view, 30, "p9", "veth", 20, "bridge");
    EXPECT_EQ(describe(model.sync(view)), "add:br0@1:3");
    EXPECT_EQ(model.portByIfindex(30)->word, 0x10003u);
}

TEST(BridgeModel, OnlyTheNamedBridgesAreWatched) {
    KernelView view;
    link(view, 40, "lab", "bridge", 0);
    link(view, 41, "other", "bridge", 0);
    link(view, 42, "x", "veth", 41, "bridge");
    BridgeModel model({{"lab", 0}});
    EXPECT_EQ(describe(model.sync(view)), "");
    EXPECT_NE(model.vlanByName("lab"), nullptr);
    EXPECT_EQ(model.vlanByName("other"), nullptr);
    EXPECT_EQ(model.portByIfindex(42), nullptr);
}

TEST(ProbeSockets, AStrippedTagIsPutBackAfterTheSourceAddress) {
    std::vector<uint8_t> frame(58);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t(i);
    uint8_t out[128];
    ASSERT_EQ(reinsertTag(frame.data(), frame.size(), 0x8100, 0xE064, out, sizeof out), 62u);
    const std::vector<uint8_t> head(out, out + 18);
    EXPECT_EQ(head, (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0x81, 0x00, 0xE0, 0x64, 12, 13}));
    EXPECT_EQ(out[61], 57);
    EXPECT_EQ(probeFilter().size(), 14u);
}
