// VLAN manager client library: lookups and walks over the switch model's
// records, administrative state, and port lists.
//
// A trunk member's slot and port resolve to the trunk's logical port, which
// has no physical-port reference of its own (its traffic goes by the active
// member). isPortPartOfTrunk is therefore true exactly for trunks. VLAN
// members are walked in order of their port-instance words, a port's VLANs in
// order of their instances; a walk continues correctly when members are
// added or removed between its steps.
#include <algorithm>
#include <cstring>

#include "dm.h"
#include "mira/sim/sim_switch.h"
#include "mira/sim/switch_model.h"
#include "vlanlib.h"

using namespace mira::sw;
using mira::sim::SimSwitch;

namespace {

vpif_t* firstVlanOfPortAfter(lif_t* rec, const uint32_t* afterInstance) {
    Lif* l = model().lifOf(rec);
    if (!l) return nullptr;
    auto it = afterInstance ? l->vlans.upper_bound(*afterInstance) : l->vlans.begin();
    return it == l->vlans.end() ? nullptr : &it->second->rec;
}

Member* memberOf(Vlan* v, const Lif* l) {
    if (!v || !l) return nullptr;
    for (const auto& [word, member] : v->memberByWord)
        if (word == l->word) return member;
    return nullptr;
}

Member* memberOf(const vpif_t* rec) {
    if (!rec) return nullptr;
    Model& m = model();
    Member* mem = memberOf(m.vlanOf(rec->vlanIf), m.lifOf(rec->lif));
    return mem && &mem->rec == rec ? mem : nullptr;
}

// What vlanLibGetLifBySlotPort answers: 1 and the logical port (null when
// none is there) for a valid slot and port, else 0.
int lifBySlotPort(const Model& m, uint16_t slot, uint16_t port, Lif** out) {
    *out = nullptr;
    const mira::ChassisInfo& c = m.chassis;
    const bool slotValid = (c.slotCount && slot >= c.slotFirst && slot < c.slotFirst + c.slotCount) ||
                           m.trunkSlots.count(slot);
    if (!slotValid || port < 1 || port > 256) return 0;
    *out = m.lif(mira::portWord(slot, port));
    return 1;
}

}  // namespace

FrameRecords mira::sw::resolveFrame(const Model& m, uint32_t vlanIfInstance, uint32_t inWord) {
    FrameRecords r;
    r.shape = gModelShape;
    r.vlanIfInstance = vlanIfInstance;
    r.inWord = inWord;
    r.vlan = m.vlanByInstance(vlanIfInstance);
    r.lifRc = lifBySlotPort(m, mira::wordSlot(inWord), mira::wordPort(inWord), &r.lif);
    r.member = memberOf(r.vlan, r.lif);
    return r;
}

int SimSwitch::vlanLibGetVlanIfByName(const char* name, vlanIf_t** out) {
    Vlan* v = name ? model().vlanByName(name) : nullptr;
    if (out) *out = v ? &v->rec : nullptr;
    return v ? 1 : 0;
}

int SimSwitch::vlanLibGetVlanIfByInstance(uint32_t vlanIfInstance, vlanIf_t** out) {
    Vlan* v = model().vlanByInstance(vlanIfInstance);
    if (out) *out = v ? &v->rec : nullptr;
    return v ? 1 : 0;
}

int SimSwitch::vlanLibGetLifBySlotPort(uint16_t slot, uint16_t port, lif_t** out) {
    Lif* l = nullptr;
    int rc = 0;
    if (const FrameRecords* h = handedFrame(); h && h->inWord == mira::portWord(slot, port)) {
        l = h->lif;
        rc = h->lifRc;
    } else {
        rc = lifBySlotPort(model(), slot, port, &l);
    }
    if (out) *out = l ? &l->rec : nullptr;
    return rc;
}

vpif_t* SimSwitch::vlanLibGetFirstVpifOnPort(lif_t* lif) { return firstVlanOfPortAfter(lif, nullptr); }

vpif_t* SimSwitch::vlanLibGetNextVpifOnPort(lif_t* lif, vlanIf_t* current) {
    if (!current) return nullptr;
    return firstVlanOfPortAfter(lif, &current->vlanIfInstance);
}

vpif_t* SimSwitch::getFirstVpifOnVlan(vlanIf_t* vlanIf) {
    Vlan* v = model().vlanOf(vlanIf);
    if (!v || v->memberByWord.empty()) return nullptr;
    return &v->memberByWord.front().second->rec;
}

vpif_t* SimSwitch::getNextVpifOnVlan(vlanIf_t* vlanIf, lif_t* current) {
    Vlan* v = model().vlanOf(vlanIf);
    if (!v || !current) return nullptr;
    const auto& flat = v->memberByWord;
    auto it = std::upper_bound(flat.begin(), flat.end(), current->portInstance,
                               [](uint32_t word, const std::pair<uint32_t, Member*>& m) { return word < m.first; });
    return it == flat.end() ? nullptr : &it->second->rec;
}

vpif_t* SimSwitch::vlanLibGetVpifByVlanInstanceAndPortInstance(uint32_t vlanIfInstance, uint32_t portWord) {
    Model& m = model();
    Member* mem = memberOf(m.vlanByInstance(vlanIfInstance), m.lif(mira::portWord(mira::wordSlot(portWord) & 0xff,
                                                                               mira::wordPort(portWord))));
    return mem ? &mem->rec : nullptr;
}

vpif_t* SimSwitch::vlanLibGetVpifByVlanSlotPort(vlanIf_t* vlanIf, lif_t* lif) {
    if (const FrameRecords* h = handedFrame(); h && h->vlan && h->lif && vlanIf == &h->vlan->rec && lif == &h->lif->rec)
        return h->member ? &h->member->rec : nullptr;
    Model& m = model();
    Member* mem = memberOf(m.vlanOf(vlanIf), m.lifOf(lif));
    return mem ? &mem->rec : nullptr;
}

int SimSwitch::vlanLibVpifUpAndForwarding(vpif_t* vpif) {
    const FrameRecords* h = handedFrame();
    Member* m = h && h->member && vpif == &h->member->rec ? h->member : memberOf(vpif);
    return m && upAndForwarding(m) ? 1 : 0;
}

int SimSwitch::vlanLibIsPortLinkUp(uint32_t portWord) {
    Model& m = model();
    const uint32_t word = mira::portWord(portInstanceSlot(portWord), portInstancePort(portWord));
    if (Port* p = m.port(word)) return linkUp(p) ? 1 : 0;
    Lif* l = m.lif(word);
    return l && linkUp(l) ? 1 : 0;
}

int SimSwitch::isPortATrunk(lif_t* lif) {
    Lif* l = model().lifOf(lif);
    return l && l->trunk ? 1 : 0;
}

int SimSwitch::isPortPartOfTrunk(lif_t* lif) { return isPortATrunk(lif); }

pif_t* SimSwitch::vlanLibGetActivePortOnLif(lif_t* lif) {
    Lif* l = model().lifOf(lif);
    Port* p = l ? activeMember(l) : nullptr;
    return p ? &p->rec : nullptr;
}

pif_t* SimSwitch::getFirstPifOnLif(lif_t* lif) {
    Lif* l = model().lifOf(lif);
    return l && !l->ports.empty() ? &l->ports.front()->rec : nullptr;
}

pif_t* SimSwitch::getNextPifOnLif(lif_t* lif, pif_t* current) {
    Lif* l = model().lifOf(lif);
    if (!l || !current) return nullptr;
    for (size_t i = 0; i + 1 < l->ports.size(); ++i)
        if (&l->ports[i]->rec == current) return &l->ports[i + 1]->rec;
    return nullptr;
}

int SimSwitch::vlanLibSetPortAdminState(const uint32_t* ports, int count, int state) {
    if (!ports || count < 1 || (state != 0 && state != 1)) return -1;
    std::vector<uint32_t> words(ports, ports + count);
    return setAdminState(words, state == 1).empty() ? 0 : -1;
}
