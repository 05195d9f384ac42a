// The fabric: frames leaving ports, crossing cables and hubs as later loop
// events, and entering ports, where they are dropped, handed to the CPU or
// flooded.
#include <cstring>

#include "mira/core/loop.h"
#include "mira/sim/tap.h"
#include "mira/sim/switch_model.h"

namespace mira::sw {

namespace {

constexpr int kDefaultHopLimit = 16;
int gHopLimit = kDefaultHopLimit;
bool gDiscardTransmit = false;
FabricStats gStats;

using FramePtr = std::shared_ptr<const std::vector<uint8_t>>;

// The frame reaches the port at the other end of the wire later, and only
// if the model it was sent in is still the current one.
void arriveLater(Port* from, const Port* at, FramePtr frame, int hops) {
    const uint64_t generation = model().generation;
    const uint32_t word = at->word, fromWord = from->word;
    ++from->inFlight;
    post([generation, word, fromWord, frame = std::move(frame), hops] {
        Model& m = model();
        if (m.generation != generation) return;
        if (Port* sender = m.port(fromWord); sender && sender->inFlight > 0) --sender->inFlight;
        if (Port* p = m.port(word)) ingress(p, frame, hops);
    });
}

}  // namespace

FabricStats& stats() { return gStats; }

void resetFabric() {
    gStats = FabricStats{};
    gHopLimit = kDefaultHopLimit;
    gDiscardTransmit = false;
}

void transmit(Port* egress, FramePtr frame, int hops) {
    if (!egress->enabled) {
        ++gStats.dropTxDisabled;
        return;
    }
    // Frames of the CPU (hops 0) go first, as a switch queues its own
    // control frames ahead of the traffic it forwards.
    if (hops > 0 && egress->inFlight >= kEgressQueueFrames) {
        ++gStats.dropCongested;
        return;
    }
    ++gStats.transmitted;
    if (capturing()) captureFrame(egress->word, frame->data(), frame->size());
    tapFrame(egress->word, true, frame->data(), frame->size());
    if (gDiscardTransmit) return;
    if (egress->cablePeer) {
        arriveLater(egress, egress->cablePeer, std::move(frame), hops);
    } else if (egress->hub) {
        for (const Port* q : egress->hub->ports)
            if (q != egress) arriveLater(egress, q, frame, hops);
    }
}

bool carriesOnward(const Port* egress) {
    return egress->enabled && !gDiscardTransmit && (egress->cablePeer || egress->hub);
}

void transmitNowhere(Port* egress, const uint8_t* frame, size_t length) {
    if (!egress->enabled) {
        ++gStats.dropTxDisabled;
        return;
    }
    ++gStats.transmitted;
    if (capturing()) captureFrame(egress->word, frame, length);
    tapFrame(egress->word, true, frame, length);
}

void ingress(Port* port, const FramePtr& frame, int hops) {
    if (!port->enabled) {
        ++gStats.dropRxDisabled;
        return;
    }
    ++gStats.received;
    const uint8_t* f = frame->data();
    const size_t length = frame->size();
    if (capturing()) captureFrame(port->word, f, length);
    tapFrame(port->word, false, f, length);

    if (length < 18 || f[12] != 0x81 || f[13] != 0x00) {
        ++gStats.dropUntagged;
        return;
    }
    const uint16_t tag = uint16_t((f[14] << 8 | f[15]) & 0x0fff);
    Model& m = model();
    Vlan* vlan = m.vlanByTag(tag);
    if (!vlan) {
        ++gStats.dropUnknownVlan;
        return;
    }
    Lif* lif = port->lif;
    const Member* member = nullptr;
    for (const auto& [word, m] : vlan->memberByWord)
        if (word == lif->word) {
            member = m;
            break;
        }
    if (member == nullptr) {
        ++gStats.dropNotMember;
        return;
    }
    if (!member->forwarding) {
        ++gStats.dropBlocked;
        return;
    }

    Mac dst;
    std::memcpy(dst.data(), f, 6);
    if (m.cpuEntries.count({dst, vlan->rec.vlanIfInstance})) {
        CpuMeta meta{vlan->rec.vlanIfInstance,
                     {wordSlot(port->word), wordPort(port->word)},
                     {lif->rec.slot, lif->rec.port}};
        if (!offerToCpu(f, length, tag, meta)) ++gStats.dropNoFilter;
        return;
    }

    if (gHopLimit >= 0 && hops >= gHopLimit) {
        ++gStats.dropHopLimit;
        return;
    }
    for (auto& [word, member] : vlan->members) {
        if (member->lif == lif || !member->forwarding) continue;
        Port* out = activeMember(member->lif);
        if (!out) {
            ++gStats.dropTxDisabled;
            continue;
        }
        ++gStats.flooded;
        transmit(out, frame, hops + 1);
    }
}

}  // namespace mira::sw

namespace mira {

void setHopLimit(int hops) { sw::gHopLimit = hops < 0 ? -1 : hops; }
int hopLimit() { return sw::gHopLimit; }
void setDiscardTransmit(bool discard) { sw::gDiscardTransmit = discard; }

const FabricStats& fabricStats() { return sw::gStats; }

void injectFrame(uint32_t port, const uint8_t* frame, size_t length) {
    sw::Port* p = sw::model().port(port);
    if (!p || !frame) return;
    sw::ingress(p, std::make_shared<const std::vector<uint8_t>>(frame, frame + length), 0);
}

void injectBroadcast(uint32_t port, uint16_t tag) {
    std::vector<uint8_t> f(64, 0);
    std::memset(f.data(), 0xff, 6);                               // to everyone
    const uint8_t host[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};  // a host on the wire
    std::memcpy(f.data() + 6, host, 6);
    f[12] = 0x81, f[13] = 0x00;
    f[14] = uint8_t(tag >> 8 & 0x0f), f[15] = uint8_t(tag);
    f[16] = 0x88, f[17] = 0xb5;  // local experimental EtherType
    injectFrame(port, f.data(), f.size());
}

}  // namespace mira
