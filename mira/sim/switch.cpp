// The switch model: its records, the checks every change goes through, and
// the run-time operations of mira/switch.h.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "dm.h"
#include "mira/control/control_text.h"
#include "mira/sim/switch_model.h"

namespace mira {
namespace sw {

namespace {

bool validName(const std::string& name, std::string* why) {
    if (name.empty()) {
        *why = "empty VLAN name";
        return false;
    }
    if (name.size() > 31) {
        *why = "VLAN name \"" + name + "\" is longer than 31 characters";
        return false;
    }
    // Any printable text in UTF-8, as one word.
    if (!control::isPrintableWord(name)) {
        *why = "VLAN name \"" + name + "\" contains a space, a control character or bytes that are not UTF-8";
        return false;
    }
    return true;
}

bool wordBefore(const std::pair<uint32_t, Member*>& member, uint32_t word) { return member.first < word; }

void refreshCount(Vlan* vlan) { vlan->rec.numVpifs = uint8_t(std::min<size_t>(vlan->members.size(), 255)); }

}  // namespace

uint64_t nextGeneration() {
    static uint64_t g = 0;
    return ++g;
}

constinit std::unique_ptr<Model> gModel;
uint64_t gModelShape = 1;

Model& makeModel() {
    installModel(std::make_unique<Model>());
    return *gModel;
}

void installModel(std::unique_ptr<Model> fresh) {
    fresh->generation = nextGeneration();
    gModel = std::move(fresh);
    ++gModelShape;
}

void Model::indexPort(uint32_t word, Port* p) {
    ++gModelShape;
    portByWord[word] = p;
    if (!flatPortWord(word)) return;
    if (flatPortIndex(word) >= portTable.size()) portTable.resize(flatPortIndex(word) + 1);
    portTable[flatPortIndex(word)] = p;
}

Port* Model::portByHash(uint32_t word) const {
    auto it = portByWord.find(word);
    return it == portByWord.end() ? nullptr : it->second;
}

void Model::indexVlan(uint32_t instance, Vlan* vlan) {
    ++gModelShape;
    if (instance >= kFlatVlanInstances) {
        if (vlan)
            largeVlanInstances[instance] = vlan;
        else
            largeVlanInstances.erase(instance);
        return;
    }
    if (instance >= vlanTable.size()) vlanTable.resize(instance + 1);
    vlanTable[instance] = vlan;
}

void Model::indexLif(uint32_t word, Lif* l) {
    ++gModelShape;
    lifByWord[word] = l;
    if (!flatPortWord(word)) return;
    if (flatPortIndex(word) >= lifTable.size()) lifTable.resize(flatPortIndex(word) + 1);
    lifTable[flatPortIndex(word)] = l;
}

Lif* Model::lifByHash(uint32_t word) const {
    auto it = lifByWord.find(word);
    return it == lifByWord.end() ? nullptr : it->second;
}

Vlan* Model::vlanByName(const std::string& name) const {
    auto it = vlanNames.find(name);
    return it == vlanNames.end() ? nullptr : it->second;
}

Vlan* Model::largeVlanByInstance(uint32_t instance) const {
    if (instance < kFlatVlanInstances) return nullptr;
    auto it = largeVlanInstances.find(instance);
    return it == largeVlanInstances.end() ? nullptr : it->second;
}

Vlan* Model::vlanByTag(uint16_t tag) const {
    auto it = liveVlanTags.find(tag);
    return it == liveVlanTags.end() ? nullptr : it->second;
}

void Model::markDeleting(Vlan* vlan) {
    vlan->deleting = true;
    auto it = liveVlanTags.find(vlan->rec.tag);
    if (it != liveVlanTags.end() && it->second == vlan) liveVlanTags.erase(it);
}

Lif* Model::lifOf(const lif_t* rec) const {
    if (!rec) return nullptr;
    Lif* l = lif(rec->portInstance);
    return l && &l->rec == rec ? l : nullptr;
}

Vlan* Model::vlanOf(const vlanIf_t* rec) const {
    if (!rec) return nullptr;
    Vlan* v = vlanByInstance(rec->vlanIfInstance);
    return v && &v->rec == rec ? v : nullptr;
}

std::string Model::unknownPort(uint32_t word) const {
    const uint16_t s = wordSlot(word), p = wordPort(word);
    const ChassisInfo& c = chassis;
    if (c.slotCount == 0) return "unknown port " + portText(word) + " (no chassis)";
    const bool chassisSlot = s >= c.slotFirst && s < c.slotFirst + c.slotCount;
    if (!chassisSlot && !trunkSlots.count(s))
        return "unknown port " + portText(word) + " (slots are " + std::to_string(c.slotFirst) + ".." +
               std::to_string(c.slotFirst + c.slotCount - 1) + ")";
    if (chassisSlot && (p < 1 || p > c.portsPerSlot))
        return "unknown port " + portText(word) + " (ports are 1.." + std::to_string(c.portsPerSlot) + ")";
    return "unknown port " + portText(word);
}

std::string Model::wireProblem(const Port* p) const {
    if (p->cablePeer) return "port " + portText(p->word) + " is already cabled to " + portText(p->cablePeer->word);
    if (p->hub) return "port " + portText(p->word) + " is already in hub " + p->hub->name;
    return "";
}

std::string Model::setChassis(const Mac& mac, int slots, int first, int portsPerSlot) {
    if (!ports.empty()) return "the chassis is already defined";
    if (slots < 1 || slots > 32) return "slots must be 1..32";
    if (first < 0 || first + slots - 1 > 255) return "first slot must be 0.." + std::to_string(256 - slots);
    if (portsPerSlot < 1 || portsPerSlot > 256) return "ports per slot must be 1..256";
    std::memcpy(chassis.mac, mac.data(), 6);
    chassis.slotCount = uint16_t(slots);
    chassis.slotFirst = uint16_t(first);
    chassis.portsPerSlot = uint16_t(portsPerSlot);
    for (int s = first; s < first + slots; ++s) {
        for (int p = 1; p <= portsPerSlot; ++p) {
            auto port = std::make_unique<Port>();
            auto lifp = std::make_unique<Lif>();
            const uint32_t w = portWord(s, p);
            port->word = w;
            port->rec.portInstance = w;
            port->rec.lif = &lifp->rec;
            port->lif = lifp.get();
            lifp->word = w;
            lifp->ifIndex = uint32_t(lifs.size() + 1);
            lifp->rec.portInstance = w;
            lifp->rec.slot = uint16_t(s);
            lifp->rec.port = uint16_t(p);
            lifp->rec.pif = &port->rec;
            lifp->ports.push_back(port.get());
            indexPort(w, port.get());
            indexLif(w, lifp.get());
            ports.push_back(std::move(port));
            lifs.push_back(std::move(lifp));
        }
    }
    return "";
}

std::string Model::addTrunk(uint32_t word, const std::vector<uint32_t>& members) {
    const uint16_t s = wordSlot(word), p = wordPort(word);
    if (s > 255 || p < 1 || p > 256) return "trunk port " + portText(word) + " out of range (slot 0..255, port 1..256)";
    if (port(word)) return "trunk port " + portText(word) + " is a physical port";
    if (lif(word)) return "trunk " + portText(word) + " already exists";
    if (members.empty()) return "trunk " + portText(word) + " has no members";
    std::vector<Port*> found;
    for (uint32_t m : members) {
        Port* pp = port(m);
        if (!pp) return unknownPort(m);
        if (pp->lif->trunk)
            return "port " + portText(m) + " is already a member of trunk " + portText(pp->lif->word);
        if (!pp->lif->vlans.empty()) return "port " + portText(m) + " is a VLAN member and cannot join a trunk";
        if (std::find(found.begin(), found.end(), pp) != found.end())
            return "port " + portText(m) + " is listed twice";
        found.push_back(pp);
    }
    auto t = std::make_unique<Lif>();
    t->word = word;
    t->trunk = true;
    t->ifIndex = uint32_t(lifs.size() + 1);
    t->rec.portInstance = word;
    t->rec.slot = s;
    t->rec.port = p;
    t->rec.pif = nullptr;  // a trunk's traffic goes by its active member
    t->ports = found;
    for (Port* pp : found) {
        Lif* own = pp->lif;
        pp->lif = t.get();
        pp->rec.lif = &t->rec;
        indexLif(pp->word, t.get());
        lifs.erase(std::find_if(lifs.begin(), lifs.end(), [own](auto& x) { return x.get() == own; }));
    }
    indexLif(word, t.get());
    const ChassisInfo& c = chassis;
    if (s < c.slotFirst || s >= c.slotFirst + c.slotCount) trunkSlots.insert(s);
    lifs.push_back(std::move(t));
    return "";
}

std::string Model::addVlan(const std::string& name, uint32_t instance, uint16_t tag) {
    std::string why;
    if (!validName(name, &why)) return why;
    if (vlanByName(name)) return "VLAN \"" + name + "\" already exists";
    if (instance == 0) return "VLAN instance must not be 0";
    if (vlanByInstance(instance)) return "VLAN instance " + std::to_string(instance) + " is already used";
    if (tag < 1 || tag > 4094) return "tag " + std::to_string(tag) + " out of range (1..4094)";
    if (Vlan* other = vlanByTag(tag))
        return "tag " + std::to_string(tag) + " is already used by VLAN \"" + other->rec.name + "\"";
    auto v = std::make_unique<Vlan>();
    std::snprintf(v->rec.name, sizeof v->rec.name, "%s", name.c_str());
    v->rec.vlanIfInstance = instance;
    v->rec.tag = tag;
    vlanNames[name] = v.get();
    liveVlanTags[tag] = v.get();
    indexVlan(instance, v.get());
    vlans[instance] = std::move(v);
    return "";
}

std::string Model::addMember(Vlan* vlan, uint32_t word) {
    if (vlan->deleting) return std::string("VLAN \"") + vlan->rec.name + "\" is being deleted";
    Lif* l = lif(word);
    if (!l) return unknownPort(word);
    if (l->word != word) return "port " + portText(word) + " is a member of trunk " + portText(l->word);
    if (vlan->members.count(word))
        return "port " + portText(word) + " is already in VLAN \"" + vlan->rec.name + "\"";
    if (memberships >= kMaxMemberships)
        return "too many VLAN memberships (at most " + std::to_string(kMaxMemberships) + " in all)";
    memberships++;
    ++gModelShape;
    auto m = std::make_unique<Member>();
    m->lif = l;
    m->vlan = vlan;
    m->rec.lif = &l->rec;
    m->rec.vlanIf = &vlan->rec;
    m->rec.egState = m->rec.inState = VPIF_STATE_FORWARDING;
    l->vlans[vlan->rec.vlanIfInstance] = m.get();
    auto& flat = vlan->memberByWord;
    flat.insert(std::lower_bound(flat.begin(), flat.end(), word, wordBefore), {word, m.get()});
    vlan->members[word] = std::move(m);
    refreshCount(vlan);
    return "";
}

std::string Model::removeMember(Vlan* vlan, uint32_t word) {
    if (vlan->deleting) return std::string("VLAN \"") + vlan->rec.name + "\" is being deleted";
    auto it = vlan->members.find(word);
    if (it == vlan->members.end()) {
        if (!lif(word)) return unknownPort(word);
        return "port " + portText(word) + " is not in VLAN \"" + vlan->rec.name + "\"";
    }
    ++gModelShape;
    it->second->lif->vlans.erase(vlan->rec.vlanIfInstance);
    auto& flat = vlan->memberByWord;
    flat.erase(std::lower_bound(flat.begin(), flat.end(), word, wordBefore));
    vlan->members.erase(it);
    memberships--;
    refreshCount(vlan);
    return "";
}

std::string Model::setBlocked(Vlan* vlan, uint32_t word, bool blocked) {
    auto it = vlan->members.find(word);
    if (it == vlan->members.end()) {
        if (!lif(word)) return unknownPort(word);
        return "port " + portText(word) + " is not in VLAN \"" + vlan->rec.name + "\"";
    }
    Member* m = it->second.get();
    m->forwarding = !blocked;
    m->rec.egState = m->rec.inState = blocked ? VPIF_STATE_BLOCKED : VPIF_STATE_FORWARDING;
    return "";
}

std::string Model::cable(uint32_t a, uint32_t b) {
    Port* pa = port(a);
    Port* pb = port(b);
    if (!pa) return lif(a) ? "trunk " + portText(a) + " cannot be cabled; cable its members" : unknownPort(a);
    if (!pb) return lif(b) ? "trunk " + portText(b) + " cannot be cabled; cable its members" : unknownPort(b);
    if (pa == pb) return "cannot cable port " + portText(a) + " to itself";
    std::string why = wireProblem(pa);
    if (why.empty()) why = wireProblem(pb);
    if (!why.empty()) return why;
    pa->cablePeer = pb;
    pb->cablePeer = pa;
    return "";
}

std::string Model::uncable(uint32_t a) {
    Port* pa = port(a);
    if (!pa) return unknownPort(a);
    if (!pa->cablePeer) return "port " + portText(a) + " is not cabled";
    pa->cablePeer->cablePeer = nullptr;
    pa->cablePeer = nullptr;
    return "";
}

std::string Model::joinHub(const std::string& name, uint32_t word) {
    if (name.empty()) return "empty hub name";
    Port* p = port(word);
    if (!p) return unknownPort(word);
    std::string why = wireProblem(p);
    if (!why.empty()) return why;
    auto& hub = hubs[name];
    if (!hub) {
        hub = std::make_unique<Hub>();
        hub->name = name;
    }
    hub->ports.push_back(p);
    p->hub = hub.get();
    return "";
}

std::string Model::leaveHub(uint32_t word) {
    Port* p = port(word);
    if (!p) return unknownPort(word);
    if (!p->hub) return "port " + portText(word) + " is in no hub";
    Hub* h = p->hub;
    h->ports.erase(std::find(h->ports.begin(), h->ports.end(), p));
    p->hub = nullptr;
    if (h->ports.empty()) hubs.erase(h->name);
    return "";
}

std::string Model::rename(Vlan* vlan, const std::string& name) {
    std::string why;
    if (!validName(name, &why)) return why;
    if (vlan->deleting) return std::string("VLAN \"") + vlan->rec.name + "\" is being deleted";
    Vlan* other = vlanByName(name);
    if (other && other != vlan) return "VLAN \"" + name + "\" already exists";
    vlanNames.erase(vlan->rec.name);
    std::snprintf(vlan->rec.name, sizeof vlan->rec.name, "%s", name.c_str());
    vlanNames[vlan->rec.name] = vlan;
    return "";
}

std::string Model::retag(Vlan* vlan, uint16_t tag) {
    if (vlan->deleting) return std::string("VLAN \"") + vlan->rec.name + "\" is being deleted";
    if (tag < 1 || tag > 4094) return "tag " + std::to_string(tag) + " out of range (1..4094)";
    Vlan* other = vlanByTag(tag);
    if (other && other != vlan)
        return "tag " + std::to_string(tag) + " is already used by VLAN \"" + other->rec.name + "\"";
    liveVlanTags.erase(vlan->rec.tag);
    vlan->rec.tag = tag;
    liveVlanTags[tag] = vlan;
    return "";
}

std::string Model::adminTargets(uint32_t word, std::vector<Port*>* out) const {
    if (Port* p = port(word)) {
        out->push_back(p);
        return "";
    }
    Lif* l = lif(word);
    if (!l) return unknownPort(word);
    out->insert(out->end(), l->ports.begin(), l->ports.end());
    return "";
}

void Model::eraseVlan(uint32_t instance) {
    auto it = vlans.find(instance);
    if (it == vlans.end()) return;
    ++gModelShape;
    for (auto& [word, m] : it->second->members) m->lif->vlans.erase(instance);
    memberships -= it->second->members.size();
    Vlan* v = it->second.get();
    if (auto n = vlanNames.find(v->rec.name); n != vlanNames.end() && n->second == v) vlanNames.erase(n);
    if (auto t = liveVlanTags.find(v->rec.tag); t != liveVlanTags.end() && t->second == v) liveVlanTags.erase(t);
    indexVlan(instance, nullptr);
    vlans.erase(it);
}

bool linkUp(const Port* p) {
    if (!p->enabled) return false;
    if (p->cablePeer) return p->cablePeer->enabled;
    if (p->hub)
        for (const Port* q : p->hub->ports)
            if (q != p && q->enabled) return true;
    return false;
}

bool linkUp(const Lif* l) {
    for (const Port* p : l->ports)
        if (linkUp(p)) return true;
    return false;
}

Port* activeMember(const Lif* l) {
    if (!l->trunk) return l->ports.empty() ? nullptr : l->ports.front();
    Port* firstEnabled = nullptr;
    for (Port* p : l->ports) {
        if (!p->enabled) continue;
        if (linkUp(p)) return p;
        if (!firstEnabled) firstEnabled = p;
    }
    return firstEnabled;
}

bool upAndForwarding(const Member* m) { return m->forwarding && !m->vlan->deleting && linkUp(m->lif); }

std::string setAdminState(const std::vector<uint32_t>& words, bool enabled) {
    Model& m = model();
    std::vector<Port*> targets;
    for (uint32_t w : words) {
        std::string why = m.adminTargets(w, &targets);
        if (!why.empty()) return why;
    }
    std::vector<uint32_t> changed;
    for (Port* p : targets) {
        if (p->enabled == enabled) continue;
        p->enabled = enabled;
        changed.push_back(p->word);
    }
    if (!changed.empty()) notifyPortState(std::move(changed), enabled ? 1 : 0);
    return "";
}

}  // namespace sw

using namespace sw;

namespace {

bool outcome(const std::string& why, std::string* error) {
    if (why.empty()) return true;
    if (error) *error = why;
    return false;
}

Vlan* findVlan(const std::string& name, std::string* why) {
    Vlan* v = model().vlanByName(name);
    if (!v) *why = "no VLAN \"" + name + "\"";
    return v;
}

}  // namespace

std::string portText(uint32_t word) { return std::to_string(wordSlot(word)) + ":" + std::to_string(wordPort(word)); }

bool parsePortText(const std::string& text, uint32_t* word) {
    // One to five decimal digits, nothing else.
    auto number = [](std::string_view digits, unsigned* out) {
        if (digits.empty() || digits.size() > 5) return false;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), *out);
        return ec == std::errc() && end == digits.data() + digits.size();
    };
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    unsigned s = 0, p = 0;
    const std::string_view all(text);
    if (!number(all.substr(0, colon), &s) || !number(all.substr(colon + 1), &p)) return false;
    if (s > 0xffff || p > 0xffff) return false;
    *word = portWord(s, p);
    return true;
}

void portListAdd(PORTLIST_T* list, uint32_t word) {
    const uint32_t g = (wordSlot(word) - dmGetSlotFirst()) % 32, bit = wordPort(word) - 1u;
    if (bit < 256) list->group[g][bit / 32] |= 0x80000000u >> (bit % 32);
}

bool portListHas(const PORTLIST_T* list, uint32_t word) {
    const uint32_t g = (wordSlot(word) - dmGetSlotFirst()) % 32, bit = wordPort(word) - 1u;
    return bit < 256 && (list->group[g][bit / 32] & (0x80000000u >> (bit % 32)));
}

ChassisInfo chassisInfo() { return model().chassis; }

bool cablePorts(uint32_t a, uint32_t b, std::string* error) { return outcome(model().cable(a, b), error); }
bool uncablePort(uint32_t port, std::string* error) { return outcome(model().uncable(port), error); }
bool joinHub(const std::string& hub, uint32_t port, std::string* error) {
    return outcome(model().joinHub(hub, port), error);
}
bool leaveHub(uint32_t port, std::string* error) { return outcome(model().leaveHub(port), error); }

bool setPortEnabled(uint32_t port, bool enabled, std::string* error) {
    return outcome(setAdminState({port}, enabled), error);
}

bool setPortBlocked(const std::string& vlan, uint32_t port, bool blocked, std::string* error) {
    std::string why;
    Vlan* v = findVlan(vlan, &why);
    if (v) why = model().setBlocked(v, port, blocked);
    return outcome(why, error);
}

bool createVlan(const std::string& name, uint32_t instance, uint16_t tag, std::string* error) {
    return outcome(model().addVlan(name, instance, tag), error);
}

bool addVlanPort(const std::string& vlan, uint32_t port, std::string* error) {
    std::string why;
    Vlan* v = findVlan(vlan, &why);
    if (v) why = model().addMember(v, port);
    if (why.empty()) notifyAddPort(*v, *model().lif(port));
    return outcome(why, error);
}

bool removeVlanPort(const std::string& vlan, uint32_t port, std::string* error) {
    std::string why;
    Vlan* v = findVlan(vlan, &why);
    Lif* l = model().lif(port);
    if (v) why = model().removeMember(v, port);
    if (why.empty()) notifyRemovePort(*v, *l);
    return outcome(why, error);
}

bool renameVlan(const std::string& vlan, const std::string& newName, std::string* error) {
    std::string why;
    Vlan* v = findVlan(vlan, &why);
    if (v && vlan != newName) {
        why = model().rename(v, newName);
        if (why.empty()) notifyRename(vlan, newName, v->rec.vlanIfInstance);
    }
    return outcome(why, error);
}

bool retagVlan(const std::string& vlan, uint16_t tag, std::string* error) {
    std::string why;
    Vlan* v = findVlan(vlan, &why);
    if (v) {
        const uint16_t old = v->rec.tag;
        why = model().retag(v, tag);
        if (why.empty() && old != tag) notifyRetag(*v, old, tag);
    }
    return outcome(why, error);
}

bool deleteVlan(const std::string& vlan, std::string* error) {
    std::string why;
    Vlan* v = findVlan(vlan, &why);
    if (v && v->deleting) why = "VLAN \"" + vlan + "\" is already being deleted";
    if (v && why.empty()) {
        model().markDeleting(v);
        notifyDeleteVlan(*v);
    }
    return outcome(why, error);
}

bool portExists(uint32_t port) { return model().lif(port) != nullptr; }

bool portEnabled(uint32_t port) {
    Model& m = model();
    if (Port* p = m.port(port)) return p->enabled;
    Lif* l = m.lif(port);
    if (!l) return false;
    return std::any_of(l->ports.begin(), l->ports.end(), [](Port* p) { return p->enabled; });
}

bool portLinkUp(uint32_t port) {
    Model& m = model();
    if (Port* p = m.port(port)) return linkUp(p);
    Lif* l = m.lif(port);
    return l && linkUp(l);
}

bool portBlocked(const std::string& vlan, uint32_t port) {
    Vlan* v = model().vlanByName(vlan);
    if (!v) return false;
    auto it = v->members.find(port);
    return it != v->members.end() && !it->second->forwarding;
}

uint32_t trunkActiveMember(uint32_t trunk) {
    Lif* l = model().lif(trunk);
    if (!l || !l->trunk) return 0;
    Port* p = activeMember(l);
    return p ? p->word : 0;
}

uint32_t cablePeer(uint32_t port) {
    Port* p = model().port(port);
    return p && p->cablePeer ? p->cablePeer->word : 0;
}

std::string hubOf(uint32_t port) {
    Port* p = model().port(port);
    return p && p->hub ? p->hub->name : "";
}

std::vector<uint32_t> vlanPorts(const std::string& vlan) {
    std::vector<uint32_t> out;
    if (Vlan* v = model().vlanByName(vlan))
        for (auto& [word, m] : v->members) out.push_back(word);
    return out;
}

bool hasCpuEntry(const uint8_t mac[6], uint32_t vlanIfInstance) {
    Mac key;
    std::memcpy(key.data(), mac, 6);
    return model().cpuEntries.count({key, vlanIfInstance}) != 0;
}

void resetSwitch() {
    installModel(std::make_unique<Model>());
    resetFabric();
    resetPacketDescriptors();
    resetVlanMgr();
    resetCapture();
}

}  // namespace mira
