// rtnetlink dumps, notifications and requests through libmnl.
#include "mira/linux/netlink.h"

#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/if_bridge.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace mira::lnx {

namespace {

// Large enough for a dump part of a busy host (the kernel sizes parts to
// the page size, at most 32 KiB).
constexpr size_t kBufferSize = 65536;

// Link changes, and the bridges' multicast databases (for entries removed).
constexpr unsigned kGroups = RTMGRP_LINK | 1U << (RTNLGRP_MDB - 1);

struct DumpState {
    KernelView* view;
};

int onDumpMessage(const nlmsghdr* nlh, void* data) {
    static_cast<DumpState*>(data)->view->apply(nlh);
    return MNL_CB_OK;
}

}  // namespace

Netlink::~Netlink() { close(); }

bool Netlink::open(std::string* error) {
    close();
    events_ = mnl_socket_open2(NETLINK_ROUTE, SOCK_NONBLOCK | SOCK_CLOEXEC);
    requests_ = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC);
    if (!events_ || !requests_ || mnl_socket_bind(events_, kGroups, MNL_SOCKET_AUTOPID) < 0 ||
        mnl_socket_bind(requests_, 0, MNL_SOCKET_AUTOPID) < 0) {
        *error = std::string("cannot open rtnetlink: ") + std::strerror(errno);
        close();
        return false;
    }
    // A burst of changes (a bridge with many ports deleted) must not overflow.
    const int size = 4 << 20;
    setsockopt(mnl_socket_get_fd(events_), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return true;
}

void Netlink::close() {
    if (events_) mnl_socket_close(events_);
    if (requests_) mnl_socket_close(requests_);
    events_ = requests_ = nullptr;
}

int Netlink::eventFd() const { return events_ ? mnl_socket_get_fd(events_) : -1; }

bool Netlink::dumpFamily(KernelView* view, uint8_t family, uint32_t extMask, std::string* error) {
    std::vector<char> buf(kBufferSize);
    nlmsghdr* nlh = mnl_nlmsg_put_header(buf.data());
    nlh->nlmsg_type = RTM_GETLINK;
    nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    nlh->nlmsg_seq = ++seq_;
    auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
    ifi->ifi_family = family;
    if (extMask) mnl_attr_put_u32(nlh, IFLA_EXT_MASK, extMask);
    if (mnl_socket_sendto(requests_, nlh, nlh->nlmsg_len) < 0) {
        *error = std::string("rtnetlink dump: ") + std::strerror(errno);
        return false;
    }
    const uint32_t portid = mnl_socket_get_portid(requests_);
    DumpState state{view};
    for (;;) {
        const ssize_t n = mnl_socket_recvfrom(requests_, buf.data(), buf.size());
        if (n < 0) {
            *error = std::string("rtnetlink dump: ") + std::strerror(errno);
            return false;
        }
        if (forEachMessage(buf.data(), size_t(n), nullptr) != size_t(n)) {
            *error = "rtnetlink dump: a malformed reply";
            return false;
        }
        const int rc = mnl_cb_run(buf.data(), size_t(n), seq_, portid, onDumpMessage, &state);
        if (rc == MNL_CB_STOP) return true;
        if (rc < 0) {
            *error = std::string("rtnetlink dump: ") + std::strerror(errno);
            return false;
        }
    }
}

bool Netlink::dump(KernelView* view, std::string* error) {
    view->clear();
    return dumpFamily(view, AF_UNSPEC, 0, error) && dumpFamily(view, AF_BRIDGE, RTEXT_FILTER_BRVLAN, error);
}

bool Netlink::readEvents(KernelView* view) {
    std::vector<char> buf(kBufferSize);
    bool any = false;
    for (;;) {
        const ssize_t n = mnl_socket_recvfrom(events_, buf.data(), buf.size());
        if (n < 0) {
            if (errno == ENOBUFS) {  // notifications were lost: start again from the kernel's table
                std::string ignored;
                dump(view, &ignored);
                any = true;
                continue;
            }
            return any;
        }
        view->applyAll(buf.data(), size_t(n));
        any = true;
    }
}

int Netlink::request(void* buffer, uint32_t length) {
    auto* nlh = static_cast<nlmsghdr*>(buffer);
    nlh->nlmsg_flags |= NLM_F_REQUEST | NLM_F_ACK;
    nlh->nlmsg_seq = ++seq_;
    if (mnl_socket_sendto(requests_, nlh, length) < 0) return -errno;
    char reply[MNL_SOCKET_BUFFER_SIZE];
    const ssize_t n = mnl_socket_recvfrom(requests_, reply, sizeof reply);
    if (n < 0) return -errno;
    if (forEachMessage(reply, size_t(n), nullptr) != size_t(n)) return -EBADMSG;
    if (mnl_cb_run(reply, size_t(n), seq_, mnl_socket_get_portid(requests_), nullptr, nullptr) < 0) return -errno;
    return 0;
}

int Netlink::setPortState(int ifindex, uint8_t state) {
    char buf[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr* nlh = mnl_nlmsg_put_header(buf);
    nlh->nlmsg_type = RTM_SETLINK;
    auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
    ifi->ifi_family = AF_BRIDGE;
    ifi->ifi_index = ifindex;
    nlattr* nest = mnl_attr_nest_start(nlh, IFLA_PROTINFO);
    mnl_attr_put_u8(nlh, IFLA_BRPORT_STATE, state);
    mnl_attr_nest_end(nlh, nest);
    return request(nlh, nlh->nlmsg_len);
}

int Netlink::setLinkUp(int ifindex, bool up) {
    char buf[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr* nlh = mnl_nlmsg_put_header(buf);
    nlh->nlmsg_type = RTM_NEWLINK;
    auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
    ifi->ifi_family = AF_UNSPEC;
    ifi->ifi_index = ifindex;
    ifi->ifi_change = IFF_UP;
    ifi->ifi_flags = up ? IFF_UP : 0;
    return request(nlh, nlh->nlmsg_len);
}

int Netlink::mdbEntry(bool add, int bridge, uint16_t vid, const uint8_t mac[6]) {
    char buf[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr* nlh = mnl_nlmsg_put_header(buf);
    nlh->nlmsg_type = add ? RTM_NEWMDB : RTM_DELMDB;
    if (add) nlh->nlmsg_flags = NLM_F_CREATE | NLM_F_EXCL;
    auto* bpm = static_cast<br_port_msg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(br_port_msg)));
    bpm->family = AF_BRIDGE;
    bpm->ifindex = uint32_t(bridge);
    br_mdb_entry entry{};
    entry.ifindex = uint32_t(bridge);  // the bridge itself: deliver to the host
    entry.state = MDB_PERMANENT;
    entry.vid = vid;
    std::memcpy(entry.addr.u.mac_addr, mac, 6);
    entry.addr.proto = 0;  // a layer-2 group: the address alone
    mnl_attr_put(nlh, MDBA_SET_ENTRY, sizeof entry, &entry);
    return request(nlh, nlh->nlmsg_len);
}

}  // namespace mira::lnx
