// Packet library: descriptors through which a process sends frames into the
// switch and reads the frames its filters admit.
//
// A descriptor is one end of a socketpair, so the loop can watch it and
// socket options work on it. Frames for it wait in an in-memory ring with
// their metadata; the pair carries only a readiness byte, written when the
// ring becomes non-empty and read back when a read empties it, so a burst of
// frames costs two system calls, not two per frame.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "kypkt.h"
#include "mira/sim/sim_switch.h"
#include "mira/sim/switch_model.h"

namespace mira::sw {

namespace {

constexpr size_t kDefaultQueueLimit = 16384;
constexpr uint32_t kMaxFrame = 9216;
// The filter spec's constant words, bytes 4 to 27, in network order.
constexpr uint8_t kFilterWords[24] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0};

struct Filter {
    uint32_t id;
    uint16_t tag;
    Mac addr;
};

struct Queued {
    std::vector<uint8_t, ArenaAllocator<uint8_t>> bytes;  // keeps its capacity when the slot is reused
    CpuMeta meta{};
    uint32_t filterId = 0;
};

struct Descriptor {
    int fd = -1;
    int signalFd = -1;
    bool signalled = false;
    // Filters by tag, each tag's in the order they were attached, so a
    // frame's lookup does not grow with the number of VLANs.
    std::unordered_map<uint16_t, std::vector<Filter>> filtersByTag;
    std::unordered_map<uint32_t, uint16_t> tagOfFilter;
    std::vector<Queued> ring;  // size is a power of two
    size_t mask = 0;           // its size less one, kept: the reader wraps with it per frame
    size_t head = 0;
    size_t count = 0;
    uint64_t reads = 0;  // frames read so far: the next one's sequence number

    ~Descriptor() {
        if (fd >= 0) ::close(fd);
        if (signalFd >= 0) ::close(signalFd);
    }

    Queued& pushSlot() {
        if (count == ring.size()) {
            std::vector<Queued> bigger(ring.empty() ? 64 : ring.size() * 2);
            for (size_t i = 0; i < count; ++i) bigger[i] = std::move(ring[(head + i) & mask]);
            ring = std::move(bigger);
            mask = ring.size() - 1;
            head = 0;
        }
        return ring[(head + count++) & mask];
    }
};

std::map<int, std::unique_ptr<Descriptor>> gDescriptors;
uint32_t gNextFilterId = 1;
std::vector<uint8_t> gLastFilterSpec;  // the bytes of the last attach, for tests
size_t gQueueLimit = kDefaultQueueLimit;
// The descriptor found last: a reader reads and peeks one descriptor per frame.
int gLastFd = -1;
Descriptor* gLastDescriptor = nullptr;

// The records of the frame a peek found at the head of a descriptor's queue,
// by its sequence number, handed on with the frame when it is read.
struct PeekedFrame {
    const Descriptor* d = nullptr;
    uint64_t seq = 0;
    FrameRecords records;
};
PeekedFrame gPeeked;

Descriptor* findDescriptor(int fd) {
    if (fd == gLastFd) return gLastDescriptor;
    auto it = gDescriptors.find(fd);
    if (it == gDescriptors.end()) return nullptr;
    gLastFd = fd;
    gLastDescriptor = it->second.get();
    return gLastDescriptor;
}

int fail(int err) {
    errno = err;
    return -1;
}

void raiseSignal(Descriptor& d) {
    if (d.signalled) return;
    const char byte = 1;
    if (::write(d.signalFd, &byte, 1) == 1) d.signalled = true;
}

// Verification of a received frame reads its VLAN's record, the VLAN's
// member table and the member of the ingress port, each found through the
// one before. Started one step per frame for the frames queued next, those
// loads overlap the reader's work on earlier frames instead of following
// one another; the frame's bytes are started too, for the reader's peek.
// The next frame's records, found here to start the member, are kept and
// handed on with the frame, so its verification does not find them again.
void prefetchQueued(const Descriptor& d) {
    const Model& m = model();
    auto queued = [&](size_t i) -> const Queued& { return d.ring[(d.head + i) & d.mask]; };
    if (d.count > 3) __builtin_prefetch(queued(3).bytes.data());
    if (d.count > 2)
        if (const Vlan* v = m.vlanByInstance(queued(2).meta.vlanIfInstance)) __builtin_prefetch(v);
    if (d.count > 1)
        if (const Vlan* v = m.vlanByInstance(queued(1).meta.vlanIfInstance); v && !v->memberByWord.empty()) {
            __builtin_prefetch(v->memberByWord.data());
            __builtin_prefetch(&v->memberByWord.back());
        }
    if (d.count > 0) {
        if (gPeeked.d != &d || gPeeked.seq != d.reads || gPeeked.records.shape != gModelShape) {
            const Queued& q = queued(0);
            gPeeked = {&d, d.reads,
                       resolveFrame(m, q.meta.vlanIfInstance, mira::portWord(q.meta.inPif[0], q.meta.inPif[1]))};
        }
        if (gPeeked.records.member) __builtin_prefetch(gPeeked.records.member);
    }
}

void clearSignal(Descriptor& d) {
    if (!d.signalled) return;
    char buf[16];
    while (::read(d.fd, buf, sizeof buf) > 0) {
    }
    d.signalled = false;
}

}  // namespace

bool offerToCpu(const uint8_t* frame, size_t length, uint16_t tag, const CpuMeta& meta) {
    bool admitted = false;
    for (auto& [fd, d] : gDescriptors) {
        auto filters = d->filtersByTag.find(tag);
        if (filters == d->filtersByTag.end()) continue;
        const Filter* match = nullptr;
        for (const Filter& f : filters->second)
            if (std::memcmp(f.addr.data(), frame, 6) == 0) {
                match = &f;
                break;
            }
        if (!match) continue;
        admitted = true;
        if (d->count >= gQueueLimit) {
            ++stats().dropQueueFull;
            continue;
        }
        Queued& q = d->pushSlot();
        q.bytes.assign(frame, frame + length);
        q.meta = meta;
        q.filterId = match->id;
        ++stats().toCpu;
        raiseSignal(*d);
    }
    return admitted;
}

FrameRecords gHandedFrame;

void resetPacketDescriptors() {
    gDescriptors.clear();
    gLastFd = -1;
    gLastDescriptor = nullptr;
    gPeeked = {};
    gHandedFrame = {};
    gNextFilterId = 1;
    gQueueLimit = kDefaultQueueLimit;
    gLastFilterSpec.clear();
}

}  // namespace mira::sw

using namespace mira::sw;
using mira::sim::SimSwitch;

void mira::setCpuQueueLimit(size_t frames) { gQueueLimit = frames; }

int SimSwitch::openKypkt() {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) return -1;
    auto d = std::make_unique<Descriptor>();
    gLastFd = -1;
    d->fd = sv[0];
    d->signalFd = sv[1];
    gDescriptors[sv[0]] = std::move(d);
    return sv[0];
}

std::vector<uint8_t> mira::lastFilterSpec() { return gLastFilterSpec; }

int SimSwitch::attachKypktFilter(int fd, kypktFilterSpec_t* spec) {
    Descriptor* d = findDescriptor(fd);
    if (!d) return fail(EBADF);
    if (!spec) return fail(EINVAL);
    const auto* bytes = reinterpret_cast<const uint8_t*>(spec);
    gLastFilterSpec.assign(bytes, bytes + sizeof *spec);
    const uint16_t tag = uint16_t(spec->tag[0] << 8 | spec->tag[1]);
    if (std::memcmp(spec->words, kFilterWords, sizeof kFilterWords) != 0 || spec->addrLength != 6 || tag > 4095)
        return fail(EINVAL);
    Filter f{gNextFilterId++, tag, {}};
    std::memcpy(f.addr.data(), spec->addr, 6);
    d->filtersByTag[f.tag].push_back(f);
    d->tagOfFilter[f.id] = f.tag;
    spec->filterId = f.id;
    return 0;
}

int SimSwitch::detachKypktFilter(int fd, uint32_t filterId) {
    Descriptor* d = findDescriptor(fd);
    if (!d) return fail(EBADF);
    auto tag = d->tagOfFilter.find(filterId);
    if (tag == d->tagOfFilter.end()) return fail(ENOENT);
    std::vector<Filter>& filters = d->filtersByTag[tag->second];
    filters.erase(std::find_if(filters.begin(), filters.end(), [&](const Filter& f) { return f.id == filterId; }));
    if (filters.empty()) d->filtersByTag.erase(tag->second);
    d->tagOfFilter.erase(tag);
    return 0;
}

int SimSwitch::sendKypkt(int fd, const uint8_t* frame, uint32_t length, int kind, int, uint32_t vlanIfInstance, int count,
              const uint32_t* port, int) {
    if (!findDescriptor(fd)) return fail(EBADF);
    if (!frame || length < 14) return fail(EINVAL);
    if (length > kMaxFrame) return fail(EMSGSIZE);
    Model& m = model();
    Vlan* vlan = m.vlanByInstance(vlanIfInstance);
    if (!vlan || vlan->deleting) return fail(ENXIO);

    std::vector<Port*> out;
    Port* single = nullptr;  // the common case, one named port, stays off the heap
    bool one = false;
    if (kind == KYPKT_TO_PORT) {
        if (!port || count < 1) return fail(EINVAL);
        for (int i = 0; i < count; ++i) {
            Port* p = nullptr;
            if (Port* phys = m.port(port[i])) {
                p = phys;
            } else if (Lif* l = m.lif(port[i])) {
                p = activeMember(l);  // null: a trunk without active member
            } else {
                return fail(ENODEV);
            }
            if (count == 1) {
                single = p;
                one = true;
            } else {
                out.push_back(p);
            }
        }
    } else if (kind == KYPKT_TO_VLAN) {
        for (auto& [word, member] : vlan->members)
            if (member->forwarding) out.push_back(activeMember(member->lif));
    } else {
        return fail(EINVAL);
    }

    ++stats().cpuSent;
    // Only a frame that reaches something needs a copy that outlives the call.
    std::shared_ptr<const std::vector<uint8_t>> copy;
    auto send = [&](Port* p) {
        if (!p) {
            ++stats().dropTxDisabled;
        } else if (!carriesOnward(p)) {
            transmitNowhere(p, frame, length);
        } else {
            if (!copy) copy = std::make_shared<const std::vector<uint8_t>>(frame, frame + length);
            transmit(p, copy, 0);
        }
    };
    if (one) {
        send(single);
    } else {
        for (Port* p : out) send(p);
    }
    return int(length);
}

int SimSwitch::recvKypkt(int fd, uint8_t* frame, uint32_t maxLength, uint32_t* scratch, uint32_t* vlanIfInstance,
              uint32_t* rxInfo, uint16_t* inPif, uint16_t* inLif, int, int) {
    Descriptor* d = findDescriptor(fd);
    if (!d) return fail(EBADF);
    if (d->count == 0) {
        clearSignal(*d);
        return fail(EAGAIN);
    }
    Queued& q = d->ring[d->head];
    const uint32_t n = q.bytes.size() < maxLength ? uint32_t(q.bytes.size()) : maxLength;
    if (frame && n) std::memcpy(frame, q.bytes.data(), n);
    if (scratch) *scratch = uint32_t(q.bytes.size());
    if (vlanIfInstance) *vlanIfInstance = q.meta.vlanIfInstance;
    if (rxInfo) *rxInfo = q.filterId;
    if (inPif) inPif[0] = q.meta.inPif[0], inPif[1] = q.meta.inPif[1];
    if (inLif) inLif[0] = q.meta.inLif[0], inLif[1] = q.meta.inLif[1];
    if (gPeeked.d == d && gPeeked.seq == d->reads)
        gHandedFrame = gPeeked.records;
    else
        gHandedFrame.shape = 0;
    ++d->reads;
    d->head = (d->head + 1) & d->mask;
    if (--d->count == 0) clearSignal(*d);
    return int(n);
}

int SimSwitch::peekKypkt(int fd, kypktQueued_t* out, int max) {
    const Descriptor* d = findDescriptor(fd);
    if (!d || !out || max <= 0) return 0;
    const size_t n = std::min(size_t(max), d->count);
    for (size_t i = 0; i < n; ++i) {
        const Queued& q = d->ring[(d->head + i) & d->mask];
        out[i] = kypktQueued_t{q.bytes.data(), uint32_t(q.bytes.size()), q.meta.vlanIfInstance};
    }
    prefetchQueued(*d);
    return int(n);
}
