// Deriving the daemon's switch from the kernel view, and keeping it in step.
#include "mira/linux/bridge_model.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace mira::lnx {

namespace {

constexpr uint32_t word(uint16_t slot, uint16_t port) { return uint32_t(slot) << 16 | port; }

bool isTrunkKind(const std::string& kind) { return kind == "bond" || kind == "team"; }

void setName(vlanIf_t* rec, const std::string& name) {
    std::memset(rec->name, 0, sizeof rec->name);
    std::memcpy(rec->name, name.data(), std::min(name.size(), sizeof rec->name - 1));
}

struct WantLif {
    int ifindex = 0;
    int bridge = 0;
    std::string name;
    bool trunk = false;
    std::vector<std::pair<uint32_t, const KernelLink*>> ports;  // word, interface
};

struct WantVlan {
    std::string name;
    int bridge = 0;
    uint16_t vid = 0;
    uint16_t tag = 0;
    std::map<uint32_t, bool> members;  // lif word -> egress untagged
};

}  // namespace

BridgeModel::BridgeModel(std::vector<WatchedBridge> watched) : watched_(std::move(watched)) {}

bool BridgeModel::watches(const KernelLink& bridge) const {
    if (bridge.kind != "bridge") return false;
    if (watched_.empty()) return true;
    return std::any_of(watched_.begin(), watched_.end(), [&](const WatchedBridge& w) { return w.name == bridge.name; });
}

uint16_t BridgeModel::tagOf(const std::string& bridge) const {
    for (const WatchedBridge& w : watched_)
        if (w.name == bridge) return w.tag;
    return 0;
}

uint32_t BridgeModel::numberFor(std::map<std::string, uint16_t>& byName, uint16_t slot, const std::string& name) {
    auto it = byName.find(name);
    if (it != byName.end()) return word(slot, it->second);
    if (byName.size() >= kMaxPortNumber) return 0;  // no number left: the port is not shown
    const uint16_t n = uint16_t(byName.size() + 1);
    byName[name] = n;
    return word(slot, n);
}

int BridgeModel::bridgeNumber(int ifindex) const {
    auto it = bridgeNumbers_.find(ifindex);
    return it == bridgeNumbers_.end() ? 0 : it->second;
}

std::vector<VlanChange> BridgeModel::sync(const KernelView& view) {
    // What the kernel shows now.
    std::map<uint32_t, WantLif> wantLifs;
    std::map<uint32_t, WantVlan> wantVlans;
    for (const auto& [index, bridge] : view.links()) {
        if (!watches(bridge)) continue;
        int& number = bridgeNumbers_[index];
        if (number == 0) number = nextBridge_++;
        if (number >= (1 << 19)) continue;  // instances would overflow; never in practice
        const uint32_t base = uint32_t(number) << 12;
        std::vector<uint32_t> lifWords;
        for (const auto& [pIndex, p] : view.links()) {
            if (p.master != index) continue;
            WantLif want{pIndex, index, p.name, isTrunkKind(p.kind), {}};
            uint32_t w = 0;
            if (want.trunk) {
                w = numberFor(trunkNumbers_, kTrunkSlot, p.name);
                for (const auto& [sIndex, s] : view.links())
                    if (s.master == pIndex)
                        if (uint32_t sw = numberFor(portNumbers_, kPortSlot, s.name))
                            want.ports.push_back({sw, &s});  // NOLINT(modernize-use-emplace): an aggregate
            } else {
                w = numberFor(portNumbers_, kPortSlot, p.name);
                want.ports.push_back({w, &p});  // NOLINT(modernize-use-emplace): an aggregate
            }
            if (w == 0) continue;
            wantLifs[w] = std::move(want);
            lifWords.push_back(w);
        }
        if (!bridge.vlanFiltering) {
            WantVlan& v = wantVlans[base];
            v = {bridge.name, index, 0, tagOf(bridge.name), {}};
            for (uint32_t w : lifWords) v.members[w] = false;
        } else {
            for (uint32_t w : lifWords) {
                const KernelLink* l = view.link(wantLifs[w].ifindex);
                for (const auto& [vid, pv] : l->vlans) {
                    WantVlan& v = wantVlans[base | vid];
                    if (v.name.empty()) v = {bridge.name + "." + std::to_string(vid), index, vid, vid, {}};
                    v.members[w] = pv.untagged;
                }
            }
        }
    }

    std::vector<VlanChange> changes;
    auto portChange = [&](VlanChange::Kind kind, const Vlan& v, const Lif& l) {
        changes.push_back({kind, v.rec.name, "", v.rec.vlanIfInstance, uint32_t(l.ifindex), l.word});
    };

    // VLANs that went away: reported deleted, members dropped.
    for (auto& [instance, v] : vlans_) {
        if (v->deleting || wantVlans.count(instance)) continue;
        for (auto& [w, m] : v->members) m->lif->vlans.erase(instance);
        v->members.clear();
        v->rec.numVpifs = 0;
        v->deleting = true;
        changes.push_back({VlanChange::DeleteVlan, v->rec.name, "", instance, 0, 0});
    }

    // Logical and physical ports: created or updated.
    std::set<uint32_t> wantPorts;
    for (auto& [w, want] : wantLifs) {
        std::unique_ptr<Lif>& l = lifs_[w];
        if (!l) {
            l = std::make_unique<Lif>();
            l->word = w;
            l->rec.portInstance = w;
            l->rec.slot = uint16_t(w >> 16);
            l->rec.port = uint16_t(w & 0xffff);
        }
        l->ifindex = want.ifindex;
        l->bridge = want.bridge;
        l->name = want.name;
        l->trunk = want.trunk;
        l->ports.clear();
        for (const auto& [pw, link] : want.ports) {
            std::unique_ptr<Port>& p = ports_[pw];
            if (!p) {
                p = std::make_unique<Port>();
                p->word = pw;
                p->rec.portInstance = pw;
            }
            p->ifindex = link->ifindex;
            p->name = link->name;
            p->lif = l.get();
            p->rec.lif = &l->rec;
            l->ports.push_back(p.get());
            wantPorts.insert(pw);
        }
        // A trunk's traffic goes by its active member: it has no port of its own.
        l->rec.pif = l->trunk || l->ports.empty() ? nullptr : &l->ports.front()->rec;
    }

    // VLANs: renamed, created, and their memberships.
    for (auto& [instance, want] : wantVlans) {
        std::unique_ptr<Vlan>& v = vlans_[instance];
        if (!v) {
            v = std::make_unique<Vlan>();
            v->rec.vlanIfInstance = instance;
            setName(&v->rec, want.name);
        } else if (v->deleting) {
            v->deleting = false;  // back before its deletion was handled
            setName(&v->rec, want.name);
        } else if (want.name.compare(0, sizeof v->rec.name - 1, v->rec.name) != 0) {
            const std::string old = v->rec.name;
            setName(&v->rec, want.name);
            changes.push_back({VlanChange::Rename, old, v->rec.name, instance, 0, 0});
        }
        v->bridge = want.bridge;
        v->vid = want.vid;
        v->rec.tag = want.tag;
        for (auto it = v->members.begin(); it != v->members.end();) {
            if (want.members.count(it->first)) {
                ++it;
                continue;
            }
            Lif* l = it->second->lif;
            l->vlans.erase(instance);
            portChange(VlanChange::RemovePort, *v, *l);
            it = v->members.erase(it);
        }
        for (const auto& [w, untagged] : want.members) {
            std::unique_ptr<Member>& m = v->members[w];
            if (!m) {
                m = std::make_unique<Member>();
                m->lif = lifs_[w].get();
                m->vlan = v.get();
                m->rec.lif = &m->lif->rec;
                m->rec.vlanIf = &v->rec;
                m->lif->vlans[instance] = m.get();
                portChange(VlanChange::AddPort, *v, *m->lif);
            }
            m->untagged = untagged;
        }
        v->rec.numVpifs = uint8_t(std::min<size_t>(v->members.size(), 255));
    }

    // Ports that went away (their memberships are gone by now).
    for (auto it = lifs_.begin(); it != lifs_.end();)
        it = wantLifs.count(it->first) ? std::next(it) : lifs_.erase(it);
    for (auto it = ports_.begin(); it != ports_.end();)
        it = wantPorts.count(it->first) ? std::next(it) : ports_.erase(it);
    return changes;
}

void BridgeModel::eraseDeleted(uint32_t instance) {
    auto it = vlans_.find(instance);
    if (it != vlans_.end() && it->second->deleting) vlans_.erase(it);
}

Vlan* BridgeModel::vlanByName(const std::string& name) const {
    Vlan* found = nullptr;
    for (const auto& [instance, v] : vlans_)
        if (name == v->rec.name && (!found || found->deleting)) found = v.get();
    return found;
}

Vlan* BridgeModel::vlanByInstance(uint32_t instance) const {
    auto it = vlans_.find(instance);
    return it == vlans_.end() ? nullptr : it->second.get();
}

Vlan* BridgeModel::vlanOf(const vlanIf_t* rec) const {
    if (!rec) return nullptr;
    Vlan* v = vlanByInstance(rec->vlanIfInstance);
    return v && &v->rec == rec ? v : nullptr;
}

Lif* BridgeModel::lif(uint32_t w) const {
    auto it = lifs_.find(w);
    if (it != lifs_.end()) return it->second.get();
    Port* p = port(w);
    return p ? p->lif : nullptr;
}

Lif* BridgeModel::lifOf(const lif_t* rec) const {
    if (!rec) return nullptr;
    auto it = lifs_.find(rec->portInstance);
    return it != lifs_.end() && &it->second->rec == rec ? it->second.get() : nullptr;
}

Port* BridgeModel::port(uint32_t w) const {
    auto it = ports_.find(w);
    return it == ports_.end() ? nullptr : it->second.get();
}

Port* BridgeModel::portByIfindex(int ifindex) const {
    for (const auto& [w, p] : ports_)
        if (p->ifindex == ifindex) return p.get();
    return nullptr;
}

Lif* BridgeModel::lifByIfindex(int ifindex) const {
    for (const auto& [w, l] : lifs_)
        if (l->ifindex == ifindex) return l.get();
    return nullptr;
}

Member* BridgeModel::memberOf(const vpif_t* rec) const {
    if (!rec) return nullptr;
    Vlan* v = vlanOf(rec->vlanIf);
    Lif* l = lifOf(rec->lif);
    if (!v || !l) return nullptr;
    auto it = v->members.find(l->word);
    return it != v->members.end() && &it->second->rec == rec ? it->second.get() : nullptr;
}

Vlan* BridgeModel::ingressVlan(const Lif& l, int vid, const KernelView& view) const {
    const KernelLink* bridge = view.link(l.bridge);
    const int number = bridgeNumber(l.bridge);
    if (!bridge || number == 0) return nullptr;
    uint32_t instance = uint32_t(number) << 12;
    if (bridge->vlanFiltering) {
        if (vid <= 0) {  // untagged or priority-tagged: the port's PVID
            const KernelLink* port = view.link(l.ifindex);
            if (!port) return nullptr;
            auto pvid = std::find_if(port->vlans.begin(), port->vlans.end(), [](auto& e) { return e.second.pvid; });
            if (pvid == port->vlans.end()) return nullptr;
            vid = pvid->first;
        }
        instance |= uint32_t(vid);
    }
    Vlan* v = vlanByInstance(instance);
    if (!v || v->deleting || !v->members.count(l.word)) return nullptr;
    return v;
}

}  // namespace mira::lnx
