// The Linux backend's view of the kernel and the switch derived from it:
// a recorded rtnetlink message of a real bridge port, and messages of
// bridges (multicast snooping off), a VLAN-filtering bridge and a bond built
// the way the kernel sends them (this project's build kernel has no VLAN
// filtering to record them from).
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
#include "mira/linux/linux_switch.h"
#include "mira/linux/probe_sockets.h"

using namespace mira::lnx;

namespace {

std::vector<uint8_t> hex(const char* text) {
    std::vector<uint8_t> out;
    for (size_t i = 0; text[i] && text[i + 1]; i += 2) out.push_back(uint8_t(std::stoi(std::string(text + i, 2), nullptr, 16)));
    return out;
}

void apply(KernelView& view, std::vector<uint8_t> bytes, uint16_t type) {
    auto* nlh = reinterpret_cast<nlmsghdr*>(bytes.data());
    nlh->nlmsg_type = type;
    ASSERT_TRUE(view.apply(nlh));
}

// One link message built the way the kernel builds it. With a name: the
// interface, its master, kind, slave kind and state (a bridge port's or a
// bond slave's), and for a bridge vlan_filtering. With vids: the port's
// bridge-family message, {vid, flags} with ranges as RANGE_BEGIN and
// RANGE_END entries. With neither: a bare message (a deletion).
struct Link {
    int ifindex;
    const char* name = nullptr;
    const char* kind = "veth";
    int master = 0;
    const char* slaveKind = "";
    uint8_t slaveState = BR_STATE_FORWARDING;
    bool vlanFiltering = false;
    std::vector<std::pair<uint16_t, uint16_t>> vids = {};
    uint16_t type = RTM_NEWLINK;
};

bool send(KernelView& view, const Link& l) {
    std::vector<uint8_t> buf(4096);
    nlmsghdr* nlh = mnl_nlmsg_put_header(buf.data());
    nlh->nlmsg_type = l.type;
    auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
    ifi->ifi_family = l.vids.empty() ? AF_UNSPEC : AF_BRIDGE;
    ifi->ifi_index = l.ifindex;
    ifi->ifi_flags = IFF_UP | IFF_LOWER_UP;
    auto nest = [&](uint16_t type, auto fill) {
        nlattr* at = mnl_attr_nest_start(nlh, type);
        fill();
        mnl_attr_nest_end(nlh, at);
    };
    if (!l.vids.empty()) nest(IFLA_AF_SPEC, [&] {
            for (auto [vid, flags] : l.vids) {
                bridge_vlan_info info{flags, vid};
                mnl_attr_put(nlh, IFLA_BRIDGE_VLAN_INFO, sizeof info, &info);
            }
        });
    if (!l.name) return view.apply(nlh);
    mnl_attr_put_strz(nlh, IFLA_IFNAME, l.name);
    if (l.master) mnl_attr_put_u32(nlh, IFLA_MASTER, uint32_t(l.master));
    nest(IFLA_LINKINFO, [&] {
        mnl_attr_put_strz(nlh, IFLA_INFO_KIND, l.kind);
        if (std::string(l.kind) == "bridge")
            nest(IFLA_INFO_DATA, [&] {
                mnl_attr_put_u8(nlh, IFLA_BR_VLAN_FILTERING, l.vlanFiltering);
                mnl_attr_put_u8(nlh, IFLA_BR_MCAST_SNOOPING, 0);
            });
        if (!*l.slaveKind) return;
        mnl_attr_put_strz(nlh, IFLA_INFO_SLAVE_KIND, l.slaveKind);
        const uint16_t state = std::string(l.slaveKind) == "bond" ? uint16_t(IFLA_BOND_SLAVE_STATE) : uint16_t(IFLA_BRPORT_STATE);
        nest(IFLA_INFO_SLAVE_DATA, [&] { mnl_attr_put_u8(nlh, state, l.slaveState); });
    });
    return view.apply(nlh);
}

void apply(KernelView& view, const Link& l) { ASSERT_TRUE(send(view, l)) << l.ifindex; }

// What the tests check of a link, as one text.
std::string fields(const KernelLink& l) {
    return std::to_string(l.ifindex) + " " + l.kind + " master " + std::to_string(l.master) + " " + l.slaveKind +
           " state " + std::to_string(l.portState) + (l.up() ? " up" : " down") +
           (l.vlanFiltering ? " filtering" : "") + (l.mcastSnooping ? "" : " no-snooping");
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

TEST(KernelView, RecordedPortInABridgeThroughItsLifeAndOnlyNamedBridgesWatched) {
    KernelView view;
    apply(view, {2, "br0", "bridge"});
    apply(view, hex(recorded::kPortForwarding), RTM_NEWLINK);
    for (const Link& l : {Link{40, "other", "bridge"}, Link{42, "x", "veth", 40, "bridge"}}) apply(view, l);
    ASSERT_TRUE(view.linkByName("br0") && view.linkByName("p1"));
    EXPECT_EQ(fields(*view.linkByName("br0")), "2 bridge master 0  state -1 up no-snooping");
    EXPECT_EQ(fields(*view.linkByName("p1")), "4 veth master 2 bridge state 3 up");

    BridgeModel model({{"br0", 7}});
    EXPECT_EQ(describe(model.sync(view)), "add:br0@1:1");
    Vlan* v = model.vlanByName("br0");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->rec.vlanIfInstance, 1u << 12);
    EXPECT_EQ(v->rec.tag, 7);
    EXPECT_EQ(v->rec.numVpifs, 1);
    EXPECT_EQ(model.portByIfindex(4)->word, 0x10001u);
    EXPECT_EQ(model.vlanByName("other"), nullptr) << "not named";
    EXPECT_EQ(model.portByIfindex(42), nullptr);

    std::vector<uint8_t> disabled = hex(recorded::kPortForwarding);
    disabled[recorded::kPortStateOffset] = BR_STATE_DISABLED;
    apply(view, disabled, RTM_NEWLINK);
    EXPECT_EQ(fields(*view.linkByName("p1")), "4 veth master 2 bridge state 0 up");
    EXPECT_EQ(describe(model.sync(view)), "");

    apply(view, {4, "p1"});  // p1 (ifindex 4) out of the bridge: no master, no slave kind
    EXPECT_EQ(fields(*view.linkByName("p1")), "4 veth master 0  state -1 up");
    EXPECT_EQ(describe(model.sync(view)), "remove:br0@1:1");
    EXPECT_EQ(model.port(0x10001), nullptr);

    apply(view, {.ifindex = 2, .type = RTM_DELLINK});
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
    EXPECT_FALSE(send(view, {.ifindex = 9, .vids = {{1, 0}}})) << "bridge family of an unknown link";
    EXPECT_TRUE(view.links().empty());
}

TEST(KernelView, RemovedLayer2HostGroupsAreKeptUntilTakenAndADumpMayHaveMissedSome) {
    KernelView view;
    apply(view, hex(recorded::kHostGroupRemoved), RTM_DELMDB);
    std::vector<uint8_t> v6 = hex(recorded::kIpv6GroupAdded);
    EXPECT_FALSE(view.apply(reinterpret_cast<nlmsghdr*>(v6.data()))) << "an addition";
    reinterpret_cast<nlmsghdr*>(v6.data())->nlmsg_type = RTM_DELMDB;
    EXPECT_FALSE(view.apply(reinterpret_cast<nlmsghdr*>(v6.data()))) << "an IPv6 group";
    std::vector<uint8_t> port = hex(recorded::kHostGroupRemoved);
    port[36] = 5;  // the entry's port: a bridge port, not the bridge
    EXPECT_FALSE(view.apply(reinterpret_cast<nlmsghdr*>(port.data())));

    GroupRemovals r = view.takeGroupRemovals();
    ASSERT_EQ(r.removed.size(), 1u);
    EXPECT_EQ(r.removed[0], (HostGroup{2, 0, {0x01, 0x0a, 0x5c, 0x33, 0x00, 0xbb}}));
    EXPECT_FALSE(r.someMissed);
    EXPECT_TRUE(view.takeGroupRemovals().removed.empty());
    view.clear();  // as before a dump
    EXPECT_TRUE(view.takeGroupRemovals().someMissed);
    EXPECT_FALSE(view.takeGroupRemovals().someMissed);
}

TEST(BridgeModel, VlanFilteringBridgeGivesOneVlanPerVidWithEgressAndPvid) {
    constexpr uint16_t kPvidUntagged = BRIDGE_VLAN_INFO_PVID | BRIDGE_VLAN_INFO_UNTAGGED;
    KernelView view;
    apply(view, {10, "br1", "bridge", 0, "", 0, true});
    apply(view, {11, "a", "veth", 10, "bridge"});
    apply(view, {12, "b", "veth", 10, "bridge"});
    apply(view, {.ifindex = 11, .vids = {{1, kPvidUntagged}, {10, 0}}});
    apply(view, {.ifindex = 12,
                 .vids = {{10, kPvidUntagged}, {20, BRIDGE_VLAN_INFO_RANGE_BEGIN}, {22, BRIDGE_VLAN_INFO_RANGE_END}}});
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
        SCOPED_TRACE(c.vlan);
        Vlan* v = model.vlanByName(c.vlan);
        ASSERT_TRUE(v);
        EXPECT_EQ(v->rec.tag, c.tag);
        EXPECT_EQ(v->rec.vlanIfInstance, 1u << 12 | c.tag);
        ASSERT_TRUE(v->members.count(c.port));
        EXPECT_EQ(v->members[c.port]->untagged, c.untagged);
    }
    // A frame entering untagged belongs to the port's PVID; a tagged one to its VID.
    EXPECT_EQ(model.ingressVlan(*model.lif(0x10002), -1, view), model.vlanByName("br1.10"));
    EXPECT_EQ(model.ingressVlan(*model.lif(0x10002), 21, view), model.vlanByName("br1.21"));
    EXPECT_EQ(model.ingressVlan(*model.lif(0x10001), 21, view), nullptr) << "not a member";

    // VID 10 leaves port a, the bridge is renamed.
    apply(view, {.ifindex = 11, .vids = {{1, kPvidUntagged}}});
    apply(view, {10, "core", "bridge", 0, "", 0, true});
    EXPECT_EQ(describe(model.sync(view)),
              "rename:br1.1>core.1 rename:br1.10>core.10 remove:core.10@1:1 rename:br1.20>core.20 rename:br1.21>core.21 "
              "rename:br1.22>core.22");
}

TEST(BridgeModel, BondInABridgeIsATrunkOfItsSlavesAndNumbersStay) {
    KernelView view;
    for (const Link& l : {Link{20, "br0", "bridge"}, Link{21, "bond0", "bond", 20, "bridge"},
                          Link{22, "e1", "veth", 21, "bond", 1}, Link{23, "e2", "veth", 21, "bond", 0},
                          Link{24, "p9", "veth", 20, "bridge"}})
        apply(view, l);
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
    apply(view, {.ifindex = 24, .type = RTM_DELLINK});
    EXPECT_EQ(describe(model.sync(view)), "remove:br0@1:3");
    apply(view, {30, "p9", "veth", 20, "bridge"});
    EXPECT_EQ(describe(model.sync(view)), "add:br0@1:3");
    EXPECT_EQ(model.portByIfindex(30)->word, 0x10003u);
}

TEST(WatchedBridges, NamesAndTagsAreBounded) {
    WatchedBridge b;
    std::string error;
    ASSERT_TRUE(parseWatchedBridge("br0=4094", &b, &error)) << error;
    EXPECT_EQ(b.name, "br0");
    EXPECT_EQ(b.tag, 4094);
    ASSERT_TRUE(parseWatchedBridge("a23456789012345", &b, &error)) << error;
    EXPECT_EQ(b.tag, 0);
    for (const char* bad : {"br0=4095", "br0=", "br0=1x", "=5", "a234567890123456"})
        EXPECT_FALSE(parseWatchedBridge(bad, &b, &error)) << bad;
    EXPECT_EQ(error, "bad bridge name in a234567890123456");
}

TEST(ProbeSockets, AStrippedTagIsPutBackAfterTheSourceAddress) {
    std::vector<uint8_t> frame(58);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t(i);
    uint8_t out[128];
    ASSERT_EQ(reinsertTag(frame.data(), frame.size(), 0x8100, 0xE064, out, sizeof out), 62u);
    const std::vector<uint8_t> head(out, out + 18);
    EXPECT_EQ(head, (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0x81, 0x00, 0xE0, 0x64, 12, 13}));
    EXPECT_EQ(out[61], 57);
}
