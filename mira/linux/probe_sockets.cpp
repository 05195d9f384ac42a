// AF_PACKET sockets for probes: filtered per-port receive, batched send.
#include "mira/linux/probe_sockets.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace mira::lnx {

namespace {

constexpr size_t kBatch = 64;        // frames per recvmmsg / sendmmsg
constexpr size_t kFrameBuffer = 256;  // probes are 62 bytes; longer frames are cut
constexpr size_t kMaxQueued = 4096;   // a tick's sends beyond this go out at once

sockaddr_ll portAddress(int ifindex, const uint8_t* frame) {
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_ifindex = ifindex;
    sll.sll_halen = 6;
    std::memcpy(sll.sll_addr, frame, 6);
    return sll;
}

}  // namespace

std::vector<sock_filter> probeFilter() {
    constexpr uint32_t kSnapOui = 0xAAAA030A;  // DSAP, SSAP, control, first OUI byte
    constexpr uint32_t kOuiPid = 0x5C3300BB;   // rest of the OUI, protocol id
    return {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, uint32_t(SKF_AD_OFF + SKF_AD_PKTTYPE)),  // 0
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 11, 0),              // 1: ours leaving: drop
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12),                                     // 2
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_8021Q, 4, 0),                     // 3: tag in line
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 14),                                     // 4: untagged
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kSnapOui, 0, 7),                        // 5
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 18),                                     // 6
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kOuiPid, 4, 5),                         // 7
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 18),                                     // 8: tagged
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kSnapOui, 0, 3),                        // 9
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 22),                                     // 10
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kOuiPid, 0, 1),                         // 11
        BPF_STMT(BPF_RET | BPF_K, 0xffff),                                          // 12: accept
        BPF_STMT(BPF_RET | BPF_K, 0),                                               // 13: drop
    };
}

size_t reinsertTag(const uint8_t* frame, size_t length, uint16_t tpid, uint16_t tci, uint8_t* out, size_t outSize) {
    if (length < 12 || outSize < 16) return 0;
    const size_t total = std::min(length + 4, outSize);
    std::memmove(out + 16, frame + 12, total - 16);  // out may be frame itself
    std::memmove(out, frame, 12);
    out[12] = uint8_t(tpid >> 8), out[13] = uint8_t(tpid);
    out[14] = uint8_t(tci >> 8), out[15] = uint8_t(tci);
    return total;
}

ProbeSockets::~ProbeSockets() { closeAll(); }

bool ProbeSockets::openSender(std::string* error) {
    if (sender_ >= 0) return true;
    // Protocol 0: the socket sends only; nothing is delivered to it.
    sender_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (sender_ < 0) {
        *error = std::string("cannot open a packet socket: ") + std::strerror(errno);
        return false;
    }
    const int size = 1 << 20;
    setsockopt(sender_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    batch_.reserve(kBatch);
    return true;
}

int ProbeSockets::openReceiver(int ifindex, std::string* error) {
    // Filter first, bind after: no unfiltered frame is queued in between.
    const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("cannot open a packet socket: ") + std::strerror(errno);
        return -1;
    }
    std::vector<sock_filter> code = probeFilter();
    sock_fprog prog{uint16_t(code.size()), code.data()};
    const int on = 1;
    const int size = 1 << 20;
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = ifindex;
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) != 0 ||
        setsockopt(fd, SOL_PACKET, PACKET_AUXDATA, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) {
        *error = std::string("cannot set up the packet socket of interface ") + std::to_string(ifindex) + ": " +
                 std::strerror(errno);
        ::close(fd);
        return -1;
    }
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    receivers_.push_back(fd);
    return fd;
}

void ProbeSockets::closeReceiver(int fd) {
    auto it = std::find(receivers_.begin(), receivers_.end(), fd);
    if (it == receivers_.end()) return;
    receivers_.erase(it);
    ::close(fd);
}

size_t ProbeSockets::receive(int fd, int ifindex, const FrameHandler& handler) {
    struct Slot {
        alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(tpacket_auxdata))];
        sockaddr_ll from;
        uint8_t bytes[kFrameBuffer + 4];
    };
    static Slot slots[kBatch];
    static mmsghdr msgs[kBatch];
    static iovec iovs[kBatch];
    size_t total = 0;
    for (;;) {
        for (size_t i = 0; i < kBatch; ++i) {
            iovs[i] = {slots[i].bytes, kFrameBuffer};
            msgs[i].msg_hdr = {};
            msgs[i].msg_hdr.msg_iov = &iovs[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_control = slots[i].control;
            msgs[i].msg_hdr.msg_controllen = sizeof slots[i].control;
            msgs[i].msg_hdr.msg_name = &slots[i].from;
            msgs[i].msg_hdr.msg_namelen = sizeof slots[i].from;
        }
        const int n = recvmmsg(fd, msgs, kBatch, MSG_DONTWAIT, nullptr);
        if (n <= 0) return total;
        for (int i = 0; i < n; ++i) {
            Slot& s = slots[i];
            if (s.from.sll_pkttype == PACKET_OUTGOING) continue;
            size_t length = std::min<size_t>(msgs[i].msg_len, kFrameBuffer);
            int tci = -1;
            for (cmsghdr* c = CMSG_FIRSTHDR(&msgs[i].msg_hdr); c; c = CMSG_NXTHDR(&msgs[i].msg_hdr, c)) {
                if (c->cmsg_level != SOL_PACKET || c->cmsg_type != PACKET_AUXDATA ||
                    c->cmsg_len < CMSG_LEN(sizeof(tpacket_auxdata)))
                    continue;
                tpacket_auxdata aux;
                std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
                if (aux.tp_status & TP_STATUS_VLAN_VALID) {
                    const uint16_t tpid = (aux.tp_status & TP_STATUS_VLAN_TPID_VALID) ? aux.tp_vlan_tpid : ETH_P_8021Q;
                    tci = aux.tp_vlan_tci;
                    length = reinsertTag(s.bytes, length, tpid, aux.tp_vlan_tci, s.bytes, sizeof s.bytes);
                }
            }
            if (tci < 0 && length >= 16 && s.bytes[12] == 0x81 && s.bytes[13] == 0x00) tci = s.bytes[14] << 8 | s.bytes[15];
            handler(ifindex, s.bytes, length, tci);
            ++total;
        }
        if (size_t(n) < kBatch) return total;
    }
}

void ProbeSockets::queue(int ifindex, const uint8_t* frame, size_t length) {
    if (batch_.size() >= kMaxQueued) flush();
    Outgoing& o = batch_.emplace_back();
    o.ifindex = ifindex;
    o.length = uint16_t(std::min(length, sizeof o.bytes));
    std::memcpy(o.bytes, frame, o.length);
}

size_t ProbeSockets::flush() {
    mmsghdr msgs[kBatch];
    iovec iovs[kBatch];
    sockaddr_ll names[kBatch];
    size_t sent = 0;
    for (size_t start = 0; start < batch_.size();) {
        const size_t count = std::min(kBatch, batch_.size() - start);
        for (size_t i = 0; i < count; ++i) {
            Outgoing& o = batch_[start + i];
            names[i] = portAddress(o.ifindex, o.bytes);
            iovs[i] = {o.bytes, o.length};
            msgs[i].msg_hdr = {};
            msgs[i].msg_hdr.msg_name = &names[i];
            msgs[i].msg_hdr.msg_namelen = sizeof names[i];
            msgs[i].msg_hdr.msg_iov = &iovs[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = sendmmsg(sender_, msgs, unsigned(count), 0);
        if (n <= 0) {  // the first frame was refused (port gone, queue full): skip it
            ++sendFailures_;
            failing_[batch_[start].ifindex] = errno;
            ++start;
            continue;
        }
        if (!failing_.empty())
            for (size_t i = start; i < start + size_t(n); ++i) failing_.erase(batch_[i].ifindex);
        sent += size_t(n);
        start += size_t(n);
    }
    batch_.clear();
    return sent;
}

int ProbeSockets::sendNow(int ifindex, const uint8_t* frame, size_t length) {
    sockaddr_ll sll = portAddress(ifindex, frame);
    const ssize_t n = ::sendto(sender_, frame, length, 0, reinterpret_cast<sockaddr*>(&sll), sizeof sll);
    if (n < 0) {
        ++sendFailures_;
        failing_[ifindex] = errno;
    } else if (!failing_.empty()) {
        failing_.erase(ifindex);
    }
    return n < 0 ? -1 : int(n);
}

void ProbeSockets::closeAll() {
    for (int fd : receivers_) ::close(fd);
    receivers_.clear();
    if (sender_ >= 0) ::close(sender_);
    sender_ = -1;
    batch_.clear();
}

}  // namespace mira::lnx
