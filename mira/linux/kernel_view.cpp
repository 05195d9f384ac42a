// Parsing of rtnetlink link and multicast database messages into the kernel
// view, with libmnl.
#include "mira/linux/kernel_view.h"

#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/if_bridge.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cstring>

namespace mira::lnx {

namespace {

// Attributes of one nest (or of the message), indexed by type; bounded by max.
template <size_t N>
struct Attrs {
    std::array<const nlattr*, N> at{};
    const nlattr* operator[](size_t type) const { return type < N ? at[type] : nullptr; }
};

template <size_t N>
int collect(const nlattr* attr, void* data) {
    auto* out = static_cast<Attrs<N>*>(data);
    const uint16_t type = mnl_attr_get_type(attr);
    if (type < N) out->at[type] = attr;
    return MNL_CB_OK;
}

template <size_t N>
Attrs<N> nested(const nlattr* nest) {
    Attrs<N> out;
    if (nest) mnl_attr_parse_nested(nest, collect<N>, &out);
    return out;
}

// Calls fn for each attribute inside a nest: libmnl's nested walk, with the
// casts C++ needs.
template <typename Fn>
void forEachNested(const nlattr* nest, Fn fn) {
    const char* end = static_cast<const char*>(mnl_attr_get_payload(nest)) + mnl_attr_get_payload_len(nest);
    for (const auto* a = static_cast<const nlattr*>(mnl_attr_get_payload(nest));
         mnl_attr_ok(a, int(end - reinterpret_cast<const char*>(a))); a = mnl_attr_next(a))
        fn(a);
}

std::string text(const nlattr* a) {
    if (!a) return "";
    const char* s = static_cast<const char*>(mnl_attr_get_payload(a));
    return std::string(s, strnlen(s, mnl_attr_get_payload_len(a)));
}

bool u8(const nlattr* a, int* out) {
    if (!a || mnl_attr_get_payload_len(a) < 1) return false;
    *out = mnl_attr_get_u8(a);
    return true;
}

bool u32(const nlattr* a, int* out) {
    if (!a || mnl_attr_get_payload_len(a) < 4) return false;
    *out = int(mnl_attr_get_u32(a));
    return true;
}

// IFLA_AF_SPEC of a bridge-family message: the port's VLAN list, single
// entries or RANGE_BEGIN/RANGE_END pairs.
void parseVlans(const nlattr* spec, std::map<uint16_t, PortVlan>* out) {
    out->clear();
    int rangeStart = -1;
    forEachNested(spec, [&](const nlattr* a) {
        if (mnl_attr_get_type(a) != IFLA_BRIDGE_VLAN_INFO) return;
        if (mnl_attr_get_payload_len(a) < sizeof(bridge_vlan_info)) return;
        bridge_vlan_info info;
        std::memcpy(&info, mnl_attr_get_payload(a), sizeof info);
        if (info.vid < 1 || info.vid > 4094) return;
        const PortVlan v{(info.flags & BRIDGE_VLAN_INFO_UNTAGGED) != 0, (info.flags & BRIDGE_VLAN_INFO_PVID) != 0};
        if (info.flags & BRIDGE_VLAN_INFO_RANGE_BEGIN) {
            rangeStart = info.vid;
            return;
        }
        const int first = (info.flags & BRIDGE_VLAN_INFO_RANGE_END) && rangeStart > 0 ? rangeStart : info.vid;
        for (int vid = first; vid <= info.vid; ++vid) (*out)[uint16_t(vid)] = v;
        rangeStart = -1;
    });
}

void parseLinkInfo(const nlattr* info, KernelLink* l) {
    const auto li = nested<IFLA_INFO_MAX + 1>(info);
    if (li[IFLA_INFO_KIND]) l->kind = text(li[IFLA_INFO_KIND]);
    if (li[IFLA_INFO_SLAVE_KIND]) l->slaveKind = text(li[IFLA_INFO_SLAVE_KIND]);
    if (l->kind == "bridge" && li[IFLA_INFO_DATA]) {
        const auto br = nested<IFLA_BR_MAX + 1>(li[IFLA_INFO_DATA]);
        int v = 0;
        if (u8(br[IFLA_BR_VLAN_FILTERING], &v)) l->vlanFiltering = v != 0;
        if (u8(br[IFLA_BR_MCAST_SNOOPING], &v)) l->mcastSnooping = v != 0;
    }
    if (li[IFLA_INFO_SLAVE_DATA]) {
        if (l->slaveKind == "bridge") {
            const auto port = nested<IFLA_BRPORT_MAX + 1>(li[IFLA_INFO_SLAVE_DATA]);
            u8(port[IFLA_BRPORT_STATE], &l->portState);
        } else if (l->slaveKind == "bond") {
            const auto slave = nested<IFLA_BOND_SLAVE_MAX + 1>(li[IFLA_INFO_SLAVE_DATA]);
            u8(slave[IFLA_BOND_SLAVE_STATE], &l->bondSlaveState);
        }
    }
}

}  // namespace

const KernelLink* KernelView::link(int ifindex) const {
    auto it = links_.find(ifindex);
    return it == links_.end() ? nullptr : &it->second;
}

const KernelLink* KernelView::linkByName(const std::string& name) const {
    for (const auto& [index, l] : links_)
        if (l.name == name) return &l;
    return nullptr;
}

// RTM_DELMDB: br_port_msg, then MDBA_MDB holding MDBA_MDB_ENTRY nests of
// MDBA_MDB_ENTRY_INFO (struct br_mdb_entry, attributes may follow it).
bool KernelView::applyGroupRemoval(const nlmsghdr* nlh) {
    if (nlh->nlmsg_len < mnl_nlmsg_size(sizeof(br_port_msg))) return false;
    const auto* bpm = static_cast<const br_port_msg*>(mnl_nlmsg_get_payload(nlh));
    if (bpm->family != AF_BRIDGE) return false;
    Attrs<MDBA_MAX + 1> attrs;
    if (mnl_attr_parse(nlh, sizeof(br_port_msg), collect<MDBA_MAX + 1>, &attrs) != MNL_CB_OK) return false;
    const nlattr* mdb = attrs[MDBA_MDB];
    if (!mdb) return false;
    bool any = false;
    forEachNested(mdb, [&](const nlattr* entry) {
        if (mnl_attr_get_type(entry) != MDBA_MDB_ENTRY) return;
        forEachNested(entry, [&](const nlattr* info) {
            if (mnl_attr_get_type(info) != MDBA_MDB_ENTRY_INFO || mnl_attr_get_payload_len(info) < sizeof(br_mdb_entry))
                return;
            br_mdb_entry e;
            std::memcpy(&e, mnl_attr_get_payload(info), sizeof e);
            if (e.addr.proto != 0 || e.ifindex != bpm->ifindex) return;  // not a layer-2 host entry
            HostGroup g{int(bpm->ifindex), e.vid, {}};
            std::memcpy(g.mac.data(), e.addr.u.mac_addr, 6);
            removals_.removed.push_back(g);
            any = true;
        });
    });
    return any;
}

bool KernelView::apply(const nlmsghdr* nlh) {
    if (nlh->nlmsg_type == RTM_DELMDB) return applyGroupRemoval(nlh);
    if (nlh->nlmsg_type != RTM_NEWLINK && nlh->nlmsg_type != RTM_DELLINK) return false;
    if (nlh->nlmsg_len < mnl_nlmsg_size(sizeof(ifinfomsg))) return false;
    const auto* ifi = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(nlh));
    if (ifi->ifi_index <= 0) return false;
    Attrs<IFLA_MAX + 1> attrs;
    if (mnl_attr_parse(nlh, sizeof(ifinfomsg), collect<IFLA_MAX + 1>, &attrs) != MNL_CB_OK) return false;

    if (ifi->ifi_family == AF_BRIDGE) {
        // Bridge family: a port's bridge state and VLAN table. A deletion
        // means the interface left its bridge (the link message follows).
        auto it = links_.find(ifi->ifi_index);
        if (it == links_.end()) return false;
        KernelLink& l = it->second;
        if (nlh->nlmsg_type == RTM_DELLINK) {
            l.vlans.clear();
            l.vlansKnown = false;
            return true;
        }
        if (attrs[IFLA_PROTINFO] && (attrs[IFLA_PROTINFO]->nla_type & NLA_F_NESTED)) {
            const auto port = nested<IFLA_BRPORT_MAX + 1>(attrs[IFLA_PROTINFO]);
            u8(port[IFLA_BRPORT_STATE], &l.portState);
        }
        if (attrs[IFLA_AF_SPEC]) {
            parseVlans(attrs[IFLA_AF_SPEC], &l.vlans);
            l.vlansKnown = true;
        }
        return true;
    }

    if (nlh->nlmsg_type == RTM_DELLINK) return links_.erase(ifi->ifi_index) > 0;
    KernelLink& l = links_[ifi->ifi_index];
    l.ifindex = ifi->ifi_index;
    if (attrs[IFLA_IFNAME]) l.name = text(attrs[IFLA_IFNAME]);
    l.adminUp = (ifi->ifi_flags & IFF_UP) != 0;
    l.lowerUp = (ifi->ifi_flags & IFF_LOWER_UP) != 0;
    l.master = 0;
    u32(attrs[IFLA_MASTER], &l.master);
    if (attrs[IFLA_ADDRESS] && mnl_attr_get_payload_len(attrs[IFLA_ADDRESS]) == 6)
        std::memcpy(l.mac.data(), mnl_attr_get_payload(attrs[IFLA_ADDRESS]), 6);
    l.slaveKind.clear();
    if (l.master == 0) {
        l.portState = -1;
        l.bondSlaveState = -1;
    }
    if (attrs[IFLA_LINKINFO]) parseLinkInfo(attrs[IFLA_LINKINFO], &l);
    return true;
}

// libmnl's walk takes a message length over 2 GiB for a negative one and
// steps out of the buffer: this one stops at the first message that does
// not fit.
size_t forEachMessage(const void* buffer, size_t length, const std::function<void(const nlmsghdr*)>& fn) {
    const auto* at = static_cast<const char*>(buffer);
    size_t left = length;
    while (left >= sizeof(nlmsghdr)) {
        const auto* nlh = reinterpret_cast<const nlmsghdr*>(at);
        if (nlh->nlmsg_len < sizeof(nlmsghdr) || nlh->nlmsg_len > left) break;
        if (fn) fn(nlh);
        const size_t step = NLMSG_ALIGN(nlh->nlmsg_len);
        if (step >= left) return length;
        at += step;
        left -= step;
    }
    return length - left;
}

void KernelView::applyAll(const void* buffer, size_t length) {
    forEachMessage(buffer, length, [this](const nlmsghdr* nlh) { apply(nlh); });
}

}  // namespace mira::lnx
