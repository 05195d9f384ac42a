// The Linux bridge backend: lookups, notifications, packet descriptor,
// forwarding entries and port states.
#include "mira/linux/linux_switch.h"

#include <linux/capability.h>
#include <linux/if_bridge.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "dm.h"
#include "mira/core/loop.h"
#include "mira/core/platform.h"
#include "mira/core/vlanmgr.h"

namespace mira::lnx {

namespace {

constexpr size_t kQueueLimit = 16384;
constexpr uint32_t kMaxFrame = 9216;

int fail(int err) {
    errno = err;
    return -1;
}

void log(std::string_view severity, const std::string& text) { logLine(severity, "linux", text); }

const char* stateName(int state) {
    switch (state) {
        case BR_STATE_DISABLED: return "disabled";
        case BR_STATE_LISTENING: return "listening";
        case BR_STATE_LEARNING: return "learning";
        case BR_STATE_FORWARDING: return "forwarding";
        case BR_STATE_BLOCKING: return "blocking";
        default: return "unknown";
    }
}

}  // namespace

std::string missingCapabilities() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return std::string("cannot read capabilities: ") + strerror(errno);
    auto has = [&](int cap) { return (data[cap / 32].effective >> (cap % 32)) & 1; };
    std::string missing;
    if (!has(CAP_NET_ADMIN)) missing += " CAP_NET_ADMIN (to change bridge port states and multicast entries)";
    if (!has(CAP_NET_RAW)) missing += std::string(missing.empty() ? "" : " and") + " CAP_NET_RAW (to send and receive probes)";
    if (missing.empty()) return "";
    return "missing capability" + missing +
           "; run as root, or grant them: setcap cap_net_admin,cap_net_raw+ep coild, or "
           "AmbientCapabilities=CAP_NET_ADMIN CAP_NET_RAW in its systemd unit";
}

LinuxSwitch::LinuxSwitch(LinuxOptions options) : options_(std::move(options)), model_(options_.bridges) {}

LinuxSwitch::~LinuxSwitch() { restore(); }

bool LinuxSwitch::start(std::string* error) {
    if (!netlink_.open(error) || !netlink_.dump(&view_, error) || !probes_.openSender(error)) return false;
    for (const WatchedBridge& b : options_.bridges) {
        const KernelLink* l = view_.linkByName(b.name);
        if (!l || l->kind != "bridge") log("WARNING", "no bridge " + b.name + " (yet): watching for it");
    }
    model_.sync(view_);  // the start state: no notifications
    syncReceivers();
    dmConfig.slotFirst = kPortSlot;
    dmConfig.slotCount = kTrunkSlot;
    for (const auto& [index, l] : view_.links())
        if (model_.bridgeNumber(index) == 1) setSystemMac(l.mac.data());
    addFd(netlink_.eventFd(), [this](int cond) {
        if (cond == 0) onNetlink();
    });
    started_ = true;
    return true;
}

void LinuxSwitch::restore() {
    if (!started_) return;
    for (uint32_t w : std::set<uint32_t>(disabled_))
        if (Port* p = model_.port(w)) setPortEnabled(*p, true);
    for (const auto& [ifindex, state] : savedPortState_) netlink_.setPortState(ifindex, uint8_t(state));
    savedPortState_.clear();
    for (int ifindex : linksTakenDown_) netlink_.setLinkUp(ifindex, true);
    linksTakenDown_.clear();
    disabled_.clear();
    for (const HostGroup& g : groupsAdded_) netlink_.mdbEntry(false, g.bridge, g.vid, g.mac.data());
    groupsAdded_.clear();
    groupsWanted_.clear();
    removeFd(netlink_.eventFd());
    for (const auto& [ifindex, fd] : receivers_) removeFd(fd);
    receivers_.clear();
    probes_.closeAll();
    netlink_.close();
    if (descriptor_ >= 0) ::close(descriptor_), ::close(signal_);
    descriptor_ = signal_ = -1;
    started_ = false;
}

void LinuxSwitch::reset() { restore(); }

// ---- Kernel changes --------------------------------------------------------

void LinuxSwitch::onNetlink() {
    if (!netlink_.readEvents(&view_)) return;
    report(model_.sync(view_));
    syncReceivers();
    keepCutPortsDisabled();
    keepGroups();
}

// The kernel puts a bridge port back to forwarding when its carrier comes
// back, and any program may set a port's state: a port cut for a loop stays
// cut until the daemon itself enables it.
void LinuxSwitch::keepCutPortsDisabled() {
    if (options_.cutByLinkDown) return;  // a link an operator brings up is theirs
    std::set<int> bridgePorts;
    for (uint32_t w : disabled_)
        if (const Port* p = model_.port(w)) bridgePorts.insert(p->lif->ifindex);
    for (int ifindex : bridgePorts) {
        const KernelLink* k = view_.link(ifindex);
        if (!k || k->portState < 0 || k->portState == BR_STATE_DISABLED) continue;
        log("WARNING", k->name + " went to " + stateName(k->portState) + " while disabled for a loop: disabled again");
        bridgePortState(ifindex, BR_STATE_DISABLED);
    }
}

void LinuxSwitch::report(const std::vector<VlanChange>& changes) {
    for (const VlanChange& c : changes) {
        switch (c.kind) {
            case VlanChange::AddPort:
            case VlanChange::RemovePort: {
                const int slot = c.kind == VlanChange::AddPort ? VLANMGR_ADD_PORT : VLANMGR_REM_PORT;
                post([slot, c] {
                    vlanmgr::callHandlers<vlanMgrPortFn_t>(
                        slot, [&](vlanMgrPortFn_t fn) { fn(c.name.c_str(), c.instance, c.ifIndex, 0, c.word); });
                });
                break;
            }
            case VlanChange::Rename:
                post([c] {
                    vlanmgr::callHandlers<vlanMgrRenameFn_t>(VLANMGR_RENAME, [&](vlanMgrRenameFn_t fn) {
                        fn(c.name.c_str(), c.newName.c_str(), c.instance);
                    });
                });
                break;
            case VlanChange::DeleteVlan:
                post([c] {
                    vlanmgr::callHandlers<vlanMgrDelVlanFn_t>(
                        VLANMGR_DEL_VLAN, [&](vlanMgrDelVlanFn_t fn) { fn(c.name.c_str(), c.instance); });
                });
                // After the handlers: they still find the VLAN by its name.
                post([this, instance = c.instance] { model_.eraseDeleted(instance); });
                break;
        }
    }
}

void LinuxSwitch::syncReceivers() {
    std::set<int> wanted;
    for (const auto& [w, p] : model_.ports()) wanted.insert(p->ifindex);
    for (auto it = receivers_.begin(); it != receivers_.end();) {
        if (wanted.count(it->first)) {
            ++it;
            continue;
        }
        removeFd(it->second);
        probes_.closeReceiver(it->second);
        it = receivers_.erase(it);
    }
    for (int ifindex : wanted) {
        if (receivers_.count(ifindex)) continue;
        std::string error;
        const int fd = probes_.openReceiver(ifindex, &error);
        if (fd < 0) {
            log("WARNING", error);
            continue;
        }
        receivers_[ifindex] = fd;
        addFd(fd, [this, fd, ifindex](int cond) {
            if (cond != 0) {  // the interface went away; the netlink side drops the port
                receivers_.erase(ifindex);
                probes_.closeReceiver(fd);
                return;
            }
            probes_.receive(fd, ifindex, [this](int index, const uint8_t* f, size_t n, int tci) {
                offerFrame(index, f, n, tci);
            });
        });
    }
}

size_t LinuxSwitch::pollReceivers() {
    size_t n = 0;
    for (const auto& [ifindex, fd] : receivers_)
        n += probes_.receive(fd, ifindex, [this](int index, const uint8_t* f, size_t len, int tci) {
            offerFrame(index, f, len, tci);
        });
    return n;
}

// ---- VLAN library ----------------------------------------------------------

int LinuxSwitch::vlanLibGetVlanIfByName(const char* name, vlanIf_t** out) {
    Vlan* v = name ? model_.vlanByName(name) : nullptr;
    if (out) *out = v ? &v->rec : nullptr;
    return v ? 1 : 0;
}

int LinuxSwitch::vlanLibGetVlanIfByInstance(uint32_t instance, vlanIf_t** out) {
    Vlan* v = model_.vlanByInstance(instance);
    if (out) *out = v ? &v->rec : nullptr;
    return v ? 1 : 0;
}

int LinuxSwitch::vlanLibGetLifBySlotPort(uint16_t slot, uint16_t port, lif_t** out) {
    if (out) *out = nullptr;
    if ((slot != kPortSlot && slot != kTrunkSlot) || port < 1 || port > kMaxPortNumber) return 0;
    if (Lif* l = model_.lif(uint32_t(slot) << 16 | port); l && out) *out = &l->rec;
    return 1;
}

vpif_t* LinuxSwitch::vlanLibGetFirstVpifOnPort(lif_t* rec) {
    Lif* l = model_.lifOf(rec);
    return l && !l->vlans.empty() ? &l->vlans.begin()->second->rec : nullptr;
}

vpif_t* LinuxSwitch::vlanLibGetNextVpifOnPort(lif_t* rec, vlanIf_t* current) {
    Lif* l = model_.lifOf(rec);
    if (!l || !current) return nullptr;
    auto it = l->vlans.upper_bound(current->vlanIfInstance);
    return it == l->vlans.end() ? nullptr : &it->second->rec;
}

vpif_t* LinuxSwitch::getFirstVpifOnVlan(vlanIf_t* rec) {
    Vlan* v = model_.vlanOf(rec);
    return v && !v->members.empty() ? &v->members.begin()->second->rec : nullptr;
}

vpif_t* LinuxSwitch::getNextVpifOnVlan(vlanIf_t* rec, lif_t* current) {
    Vlan* v = model_.vlanOf(rec);
    if (!v || !current) return nullptr;
    auto it = v->members.upper_bound(current->portInstance);
    return it == v->members.end() ? nullptr : &it->second->rec;
}

vpif_t* LinuxSwitch::vlanLibGetVpifByVlanInstanceAndPortInstance(uint32_t instance, uint32_t portWord) {
    Vlan* v = model_.vlanByInstance(instance);
    Lif* l = model_.lif(((portWord >> 16) & 0xff) << 16 | (portWord & 0xffff));
    if (!v || !l) return nullptr;
    auto it = v->members.find(l->word);
    return it == v->members.end() ? nullptr : &it->second->rec;
}

vpif_t* LinuxSwitch::vlanLibGetVpifByVlanSlotPort(vlanIf_t* vlanIf, lif_t* lif) {
    Vlan* v = model_.vlanOf(vlanIf);
    Lif* l = model_.lifOf(lif);
    if (!v || !l) return nullptr;
    auto it = v->members.find(l->word);
    return it == v->members.end() ? nullptr : &it->second->rec;
}

bool LinuxSwitch::linkUp(const Lif& l) const {
    const KernelLink* k = view_.link(l.ifindex);
    return k && k->up();
}

bool LinuxSwitch::forwarding(const Lif& l) const {
    const KernelLink* k = view_.link(l.ifindex);
    if (!k || !k->up()) return false;
    for (const Port* p : l.ports)
        if (disabled_.count(p->word)) return false;
    return k->portState == BR_STATE_FORWARDING || k->portState < 0;
}

int LinuxSwitch::vlanLibVpifUpAndForwarding(vpif_t* vpif) {
    Member* m = model_.memberOf(vpif);
    return m && !m->vlan->deleting && forwarding(*m->lif) ? 1 : 0;
}

int LinuxSwitch::vlanLibIsPortLinkUp(uint32_t portWord) {
    const uint32_t w = (portWord >> 24) ? 0 : portWord & 0xffffff;
    if (Port* p = model_.port(w)) {
        const KernelLink* k = view_.link(p->ifindex);
        return k && k->up() ? 1 : 0;
    }
    Lif* l = model_.lif(w);
    return l && linkUp(*l) ? 1 : 0;
}

int LinuxSwitch::isPortATrunk(lif_t* rec) {
    Lif* l = model_.lifOf(rec);
    return l && l->trunk ? 1 : 0;
}

int LinuxSwitch::isPortPartOfTrunk(lif_t* rec) { return isPortATrunk(rec); }

pif_t* LinuxSwitch::vlanLibGetActivePortOnLif(lif_t* rec) {
    Lif* l = model_.lifOf(rec);
    if (!l) return nullptr;
    if (!l->trunk) return l->ports.empty() ? nullptr : &l->ports.front()->rec;
    // The bond's active slave; a team (or a bond not saying) by its first slave that is up.
    Port* firstUp = nullptr;
    for (Port* p : l->ports) {
        const KernelLink* k = view_.link(p->ifindex);
        if (!k || !k->up() || disabled_.count(p->word)) continue;
        if (k->bondSlaveState == 0) return &p->rec;
        if (!firstUp) firstUp = p;
    }
    return firstUp ? &firstUp->rec : nullptr;
}

pif_t* LinuxSwitch::getFirstPifOnLif(lif_t* rec) {
    Lif* l = model_.lifOf(rec);
    return l && !l->ports.empty() ? &l->ports.front()->rec : nullptr;
}

pif_t* LinuxSwitch::getNextPifOnLif(lif_t* rec, pif_t* current) {
    Lif* l = model_.lifOf(rec);
    if (!l || !current) return nullptr;
    for (size_t i = 0; i + 1 < l->ports.size(); ++i)
        if (&l->ports[i]->rec == current) return &l->ports[i + 1]->rec;
    return nullptr;
}

// ---- Port administrative state ---------------------------------------------

int LinuxSwitch::bridgePortState(int ifindex, uint8_t state) {
    const int rc = netlink_.setPortState(ifindex, state);
    if (rc != 0)
        log("ERROR", "cannot set the bridge port state of " + linkName(ifindex) +
                         " to " + stateName(state) + ": " + std::strerror(-rc));
    return rc;
}

int LinuxSwitch::setPortEnabled(Port& p, bool enabled) {
    Lif& l = *p.lif;
    if (options_.cutByLinkDown) {
        const KernelLink* k = view_.link(p.ifindex);
        if (!enabled || !k || !k->adminUp || linksTakenDown_.count(p.ifindex))
            if (const int rc = netlink_.setLinkUp(p.ifindex, enabled)) return rc;
        if (enabled) linksTakenDown_.erase(p.ifindex); else linksTakenDown_.insert(p.ifindex);
    } else if (!enabled) {
        // The bridge port is the port itself, or the bond of a trunk member:
        // disabled while any of its members is.
        const KernelLink* k = view_.link(l.ifindex);
        const int before = k && k->portState > 0 ? k->portState : BR_STATE_FORWARDING;
        if (!savedPortState_.count(l.ifindex) || (k && k->portState != BR_STATE_DISABLED)) {
            if (const int rc = bridgePortState(l.ifindex, BR_STATE_DISABLED)) return rc;
        }
        savedPortState_.emplace(l.ifindex, before);
    } else {
        bool othersDisabled = false;
        for (const Port* q : l.ports)
            if (q != &p && disabled_.count(q->word)) othersDisabled = true;
        if (!othersDisabled) {
            // Back to the state it had; a port this process did not disable
            // (the other module of a pair did) goes back to forwarding.
            auto saved = savedPortState_.find(l.ifindex);
            const int state = saved != savedPortState_.end() ? saved->second : BR_STATE_FORWARDING;
            const KernelLink* k = view_.link(l.ifindex);
            if (!k || k->portState != state)
                if (const int rc = bridgePortState(l.ifindex, uint8_t(state))) return rc;
            if (saved != savedPortState_.end()) savedPortState_.erase(saved);
        }
    }
    if (enabled) disabled_.erase(p.word); else disabled_.insert(p.word);
    log("INFO", std::string(enabled ? "enabled " : "disabled ") + p.name);
    return 0;
}

int LinuxSwitch::vlanLibSetPortAdminState(const uint32_t* ports, int count, int state) {
    if (!ports || count < 1 || (state != 0 && state != 1)) return -1;
    std::vector<Port*> targets;
    for (int i = 0; i < count; ++i) {
        if (Port* p = model_.port(ports[i])) {
            targets.push_back(p);
        } else if (Lif* l = model_.lif(ports[i])) {
            targets.insert(targets.end(), l->ports.begin(), l->ports.end());
        } else {
            return -1;
        }
    }
    std::vector<uint32_t> changed;
    for (Port* p : targets) {
        if (state == 0 && disabled_.count(p->word)) continue;
        if (setPortEnabled(*p, state == 1) != 0) return -1;
        changed.push_back(p->word);
    }
    if (!changed.empty())
        post([changed, state] {
            vlanmgr::callHandlers<vlanMgrPortStateFn_t>(VLANMGR_CFG_PORT_STATE, [&](vlanMgrPortStateFn_t fn) {
                fn(changed.data(), uint32_t(state), uint32_t(changed.size()));
            });
        });
    return 0;
}

// ---- Packet library --------------------------------------------------------

int LinuxSwitch::openKypkt() {
    if (descriptor_ >= 0) return fail(EBUSY);
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) return -1;
    descriptor_ = sv[0];
    signal_ = sv[1];
    return descriptor_;
}

int LinuxSwitch::attachKypktFilter(int fd, kypktFilterSpec_t* spec) {
    if (fd != descriptor_ || fd < 0) return fail(EBADF);
    if (!spec) return fail(EINVAL);
    // The filter spec's tag is a big-endian 16-bit word at offset 28.
    const auto* bytes = reinterpret_cast<const uint8_t*>(spec);
    const uint16_t tag = uint16_t(bytes[28] << 8 | bytes[29]);
    if (spec->addrLength != 6 || tag > 4095) return fail(EINVAL);
    Filter f{nextFilterId_++, tag, {}};
    std::memcpy(f.addr.data(), spec->addr, 6);
    filters_.push_back(f);
    spec->filterId = f.id;
    return 0;
}

int LinuxSwitch::detachKypktFilter(int fd, uint32_t filterId) {
    if (fd != descriptor_ || fd < 0) return fail(EBADF);
    auto it = std::find_if(filters_.begin(), filters_.end(), [&](const Filter& f) { return f.id == filterId; });
    if (it == filters_.end()) return fail(ENOENT);
    filters_.erase(it);
    return 0;
}

int LinuxSwitch::sendKypkt(int fd, const uint8_t* frame, uint32_t length, int kind, int, uint32_t instance,
                           int count, const uint32_t* port, int) {
    if (fd != descriptor_ || fd < 0) return fail(EBADF);
    if (!frame || length < 18) return fail(EINVAL);
    if (length > kMaxFrame) return fail(EMSGSIZE);
    Vlan* v = model_.vlanByInstance(instance);
    if (!v || v->deleting) return fail(ENXIO);
    std::vector<std::pair<Port*, Member*>> out;
    if (kind == KYPKT_TO_PORT) {
        if (!port || count < 1) return fail(EINVAL);
        for (int i = 0; i < count; ++i) {
            Lif* l = model_.lif(port[i]);
            if (!l) return fail(ENODEV);
            Port* p = model_.port(port[i]);
            if (!p || p->lif->trunk) {
                pif_t* active = vlanLibGetActivePortOnLif(&l->rec);
                p = active ? model_.port(active->portInstance) : nullptr;
            }
            auto m = v->members.find(l->word);
            out.push_back({p, m == v->members.end() ? nullptr : m->second.get()});  // NOLINT(modernize-use-emplace)
        }
    } else if (kind == KYPKT_TO_VLAN) {
        for (auto& [w, m] : v->members) {
            if (!forwarding(*m->lif)) continue;
            pif_t* active = vlanLibGetActivePortOnLif(&m->lif->rec);
            out.push_back({active ? model_.port(active->portInstance) : nullptr, m.get()});  // NOLINT(modernize-use-emplace)
        }
    } else {
        return fail(EINVAL);
    }
    uint8_t untagged[128];
    for (auto [p, m] : out) {
        if (!p) continue;  // a trunk without an active member
        const uint8_t* bytes = frame;
        uint32_t n = length;
        // An untagged egress member gets the frame without its 802.1Q header.
        if (m && m->untagged && length <= sizeof untagged + 4 && frame[12] == 0x81 && frame[13] == 0x00) {
            std::memcpy(untagged, frame, 12);
            std::memcpy(untagged + 12, frame + 16, length - 16);
            bytes = untagged;
            n = length - 4;
        }
        if (!options_.batchSends || n > 128) {
            if (probes_.sendNow(p->ifindex, bytes, n) < 0) return -1;
            continue;
        }
        probes_.queue(p->ifindex, bytes, n);
        if (!flushPosted_) {
            flushPosted_ = true;
            post([this] {
                flushPosted_ = false;
                probes_.flush();
                reportSendFailures();
            });
        }
    }
    return int(length);
}

// The daemon counts a send that fails at once; a batch goes out after its
// send calls have returned, so the log says when an interface starts and
// stops refusing probes.
void LinuxSwitch::reportSendFailures() {
    const std::map<int, int>& now = probes_.failing();
    if (now == sendFailing_) return;
    for (const auto& [ifindex, error] : now) {
        auto was = sendFailing_.find(ifindex);
        if (was == sendFailing_.end() || was->second != error)
            log("WARNING", "cannot send probes on " + linkName(ifindex) + ": " + std::strerror(error));
    }
    for (const auto& [ifindex, error] : sendFailing_)
        if (!now.count(ifindex)) log("INFO", "probes go out on " + linkName(ifindex) + " again");
    sendFailing_ = now;
}

std::string LinuxSwitch::linkName(int ifindex) const {
    const KernelLink* k = view_.link(ifindex);
    return k ? k->name : "interface " + std::to_string(ifindex);
}

void LinuxSwitch::offerFrame(int ifindex, const uint8_t* frame, size_t length, int tci) {
    Port* p = model_.portByIfindex(ifindex);
    if (!p || length < 14 || disabled_.count(p->word)) {
        ++dropped_;
        return;
    }
    Vlan* v = model_.ingressVlan(*p->lif, tci < 0 ? -1 : tci & 0xfff, view_);
    if (!v) {
        ++dropped_;
        return;
    }
    const Filter* match = nullptr;
    for (const Filter& f : filters_)
        if (f.tag == v->rec.tag && std::memcmp(f.addr.data(), frame, 6) == 0) match = &f;
    if (!match || rx_.size() >= kQueueLimit) {
        ++dropped_;
        return;
    }
    Queued& q = rx_.emplace_back();
    if (tci < 0) {  // the daemon reads the frame as it is on the wire with its tag
        q.length = uint16_t(reinsertTag(frame, length, 0x8100, v->rec.tag, q.bytes.data(), q.bytes.size()));
    } else {
        q.length = uint16_t(std::min(length, q.bytes.size()));
        std::memcpy(q.bytes.data(), frame, q.length);
    }
    q.instance = v->rec.vlanIfInstance;
    q.filterId = match->id;
    q.pif = p->word;
    q.lif = p->lif->word;
    raiseSignal();
}

void LinuxSwitch::raiseSignal() {
    if (signalled_ || signal_ < 0) return;
    const char byte = 1;
    if (::write(signal_, &byte, 1) == 1) signalled_ = true;
}

void LinuxSwitch::clearSignal() {
    if (!signalled_) return;
    char buf[16];
    while (::read(descriptor_, buf, sizeof buf) > 0) {
    }
    signalled_ = false;
}

int LinuxSwitch::recvKypkt(int fd, uint8_t* frame, uint32_t maxLength, uint32_t* scratch, uint32_t* instance,
                           uint32_t* rxInfo, uint16_t* inPif, uint16_t* inLif, int, int) {
    if (fd != descriptor_ || fd < 0) return fail(EBADF);
    if (rx_.empty()) {
        clearSignal();
        return fail(EAGAIN);
    }
    const Queued& q = rx_.front();
    const uint32_t n = std::min<uint32_t>(q.length, maxLength);
    if (frame && n) std::memcpy(frame, q.bytes.data(), n);
    if (scratch) *scratch = q.length;
    if (instance) *instance = q.instance;
    if (rxInfo) *rxInfo = q.filterId;
    if (inPif) inPif[0] = uint16_t(q.pif >> 16), inPif[1] = uint16_t(q.pif);
    if (inLif) inLif[0] = uint16_t(q.lif >> 16), inLif[1] = uint16_t(q.lif);
    rx_.pop_front();
    if (rx_.empty()) clearSignal();
    return int(n);
}

// The kernel's hand-over, not the daemon's cache misses, bounds the rate here.
int LinuxSwitch::peekKypkt(int, kypktQueued_t*, int) { return 0; }

// ---- Forwarding database: the bridge's multicast entry ----------------------

int LinuxSwitch::fdbInit(fdbCallback_t, int) { return 0; }

int LinuxSwitch::addGroup(const HostGroup& g) {
    const int rc = netlink_.mdbEntry(true, g.bridge, g.vid, g.mac.data());
    if (rc == -EEXIST) return 0;  // someone else's (the other coild of a pair): left alone at exit
    if (rc != 0) {
        const KernelLink* b = view_.link(g.bridge);
        log("WARNING", "cannot add the probe's multicast entry on bridge " + (b ? b->name : "?") + ": " +
                           std::strerror(-rc) +
                           (b && !b->mcastSnooping ? " (multicast snooping is off: a loop of probes will storm)" : ""));
        return rc;
    }
    groupsAdded_.insert(g);
    return 0;
}

int LinuxSwitch::fdbMacAdd(int, const fdbKey_t* key, const uint8_t* mac, int, int, int) {
    if (!key || !mac) return -1;
    Vlan* v = model_.vlanByInstance(key->vlanIfInstance);
    if (!v || v->deleting) return -1;
    HostGroup g{v->bridge, v->vid, {}};
    std::memcpy(g.mac.data(), mac, 6);
    if (groupsAdded_.count(g)) return 0;
    const int rc = addGroup(g);
    if (rc == 0) groupsWanted_.insert(g);
    return rc;
}

int LinuxSwitch::fdbMacDelete(int, const fdbKey_t* key, const uint8_t* mac, int) {
    if (!key || !mac) return -1;
    Vlan* v = model_.vlanByInstance(key->vlanIfInstance);
    if (!v) return -1;
    HostGroup g{v->bridge, v->vid, {}};
    std::memcpy(g.mac.data(), mac, 6);
    groupsWanted_.erase(g);
    if (!groupsAdded_.erase(g)) return 0;
    return netlink_.mdbEntry(false, v->bridge, v->vid, mac);
}

// Without its entry the bridge floods the probes on instead of handing them
// to the host, and a loop of probes storms. The entry goes when the other
// coild of a pair that added it exits, or when an operator deletes it: it is
// added again, and whoever adds it removes it at exit.
void LinuxSwitch::keepGroups() {
    const GroupRemovals r = view_.takeGroupRemovals();
    if (r.removed.empty() && !r.someMissed) return;
    const std::set<HostGroup> gone(r.removed.begin(), r.removed.end());
    std::set<std::pair<int, uint16_t>> live;  // the kernel flushes a VLAN's entries as the VLAN goes
    for (const auto& [instance, v] : model_.vlans())
        if (!v->deleting) live.emplace(v->bridge, v->vid);
    for (const HostGroup& g : groupsWanted_) {
        const bool removed = gone.count(g) > 0;
        if (!removed && !r.someMissed) continue;
        const KernelLink* b = view_.link(g.bridge);
        if (!b || !live.count({g.bridge, g.vid})) continue;  // its services go with the VLAN
        if (removed) groupsAdded_.erase(g);
        if (addGroup(g) == 0 && removed)
            log("WARNING", "the probe's multicast entry on bridge " + b->name + " was removed: added again");
    }
}

// ---- Operators -------------------------------------------------------------

std::string LinuxSwitch::portName(uint32_t word) {
    if (Port* p = model_.port(word)) return p->name;
    if (Lif* l = model_.lif(word)) return l->name;
    return std::to_string(word >> 16) + ":" + std::to_string(word & 0xffff);
}

bool LinuxSwitch::parsePortName(const std::string& text, uint32_t* word) {
    for (const auto& [w, p] : model_.ports())
        if (p->name == text) return *word = w, true;
    for (const auto& [w, p] : model_.ports())
        if (p->lif && p->lif->name == text) return *word = p->lif->word, true;
    return false;
}

std::vector<SwitchPortInfo> LinuxSwitch::listPorts() {
    std::vector<SwitchPortInfo> out;
    for (const auto& [w, p] : model_.ports()) {
        SwitchPortInfo info;
        info.word = w;
        info.name = p->name;
        const KernelLink* bridge = view_.link(p->lif->bridge);
        info.group = bridge ? bridge->name : "";
        if (p->lif->trunk) info.group += "/" + p->lif->name;
        const KernelLink* k = view_.link(p->ifindex);
        const KernelLink* bport = view_.link(p->lif->ifindex);
        info.adminUp = !disabled_.count(w);
        info.linkUp = k && k->up();
        info.state = bport ? stateName(bport->portState) : "unknown";
        for (const auto& [instance, m] : p->lif->vlans) {
            if (!info.vlans.empty()) info.vlans += ',';
            info.vlans += m->vlan->rec.name;
        }
        out.push_back(std::move(info));
    }
    return out;
}

std::vector<vlanIf_t> LinuxSwitch::listVlans() {
    std::vector<vlanIf_t> out;
    for (const auto& [instance, vlan] : model_.vlans())
        if (!vlan->deleting) out.push_back(vlan->rec);
    return out;
}

LabResult LinuxSwitch::labCommand(const std::vector<std::string>&) {
    return {false,
            "lab commands change only the simulated switch; this coild runs on the host's Linux bridges "
            "(change them with ip and bridge)",
            "", ""};
}

}  // namespace mira::lnx

namespace mira::lnx {

bool parseWatchedBridge(const std::string& text, WatchedBridge* out, std::string* error) {
    WatchedBridge b{text, 0};
    const size_t eq = text.find('=');
    if (eq != std::string::npos) {
        b.name = text.substr(0, eq);
        const std::string tag = text.substr(eq + 1);
        char* end = nullptr;
        const unsigned long v = std::strtoul(tag.c_str(), &end, 10);
        if (tag.empty() || *end != '\0' || v > 4094) {
            *error = "bad tag in " + text + " (0 to 4094)";
            return false;
        }
        b.tag = uint16_t(v);
    }
    if (b.name.empty() || b.name.size() > 15) {
        *error = "bad bridge name in " + text;
        return false;
    }
    *out = b;
    return true;
}

std::unique_ptr<LinuxSwitch> startLinuxSwitch(const LinuxOptions& options, std::string* error) {
    if (std::string missing = missingCapabilities(); !missing.empty()) {
        *error = std::move(missing);
        return nullptr;
    }
    auto backend = std::make_unique<LinuxSwitch>(options);
    if (!backend->start(error)) return nullptr;
    installSwitch(*backend);
    return backend;
}

}  // namespace mira::lnx
