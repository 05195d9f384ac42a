// What each lab command does to the simulated switch.
#include "mira/sim/control_lab.h"

#include <cstdlib>
#include <functional>

#include "mira/control/control_lab_table.h"
#include "mira/control/control_xml.h"
#include "mira/sim/pcap.h"
#include "mira/core/platform.h"
#include "mira/sim/switch.h"
#include "mira/sim/switch_model.h"

namespace mira::control {

namespace {

using Args = std::vector<std::string>;

LabResult done(std::string text) { return {true, "", std::move(text), ""}; }
LabResult refused(std::string why) { return {false, std::move(why), "", ""}; }

// "slot:port", or the port number alone on a switch with one slot.
bool parsePort(const std::string& text, uint32_t* word, std::string* error) {
    if (parsePortText(text, word)) return true;
    const ChassisInfo chassis = chassisInfo();
    char* end = nullptr;
    const unsigned long n = std::strtoul(text.c_str(), &end, 10);
    if (chassis.slotCount == 1 && !text.empty() && *end == '\0' && n > 0 && n <= 0xffff) {
        *word = portWord(chassis.slotFirst, uint32_t(n));
        return true;
    }
    *error = "\"" + text + "\" is not a port (slot:port)";
    return false;
}

LabResult withPorts(const Args& texts, const std::function<bool(const std::vector<uint32_t>&, std::string*)>& fn,
                    const std::string& did) {
    std::vector<uint32_t> ports;
    std::string error;
    for (const std::string& t : texts) {
        uint32_t word = 0;
        if (!parsePort(t, &word, &error)) return refused(error);
        ports.push_back(word);
    }
    if (!fn(ports, &error)) return refused(error);
    return done(did);
}

std::string joined(const Args& args, size_t from = 0) {
    std::string out;
    for (size_t i = from; i < args.size(); i++) out += (out.empty() ? "" : " ") + args[i];
    return out;
}

LabResult capture(const Args& a) {
    std::vector<uint32_t> ports;
    std::string error;
    for (size_t i = 1; i < a.size(); i++) {
        uint32_t word = 0;
        if (!parsePort(a[i], &word, &error)) return refused(error);
        ports.push_back(word);
    }
    if (!startCapture(a[0], ports, &error)) return refused(error);
    return done("capturing " + (ports.empty() ? std::string("every port") : joined(a, 1)) + " to " + a[0]);
}

LabResult role(const Args& a) {
    static const struct {
        const char* name;
        uint32_t state;
    } roles[] = {{"primary", 6}, {"backup", 5}, {"standby", 4}};
    for (const auto& r : roles) {
        if (a[0] == r.name) {
            setNodeRole(r.state);
            return done("node role set to " + a[0]);
        }
    }
    return refused("role must be primary, backup or standby");
}

LabResult checkpointing(const Args& a) {
    if (a[0] != "on" && a[0] != "off") return refused("checkpointing must be on or off");
    setCheckpointing(a[0] == "on");
    return done("checkpointing " + a[0]);
}

LabResult ports(const Args&) {
    sw::Model& m = sw::model();
    std::string xml;
    for (const auto& p : m.ports) {
        XmlRecord r;
        r.object = "labPort";
        r.attrs.emplace_back("port", portText(p->word));
        r.attrs.emplace_back("admin", p->enabled ? "enabled" : "disabled");
        r.attrs.emplace_back("link", sw::linkUp(p.get()) ? "up" : "down");
        std::string wire;
        if (p->cablePeer) wire = "cable " + portText(p->cablePeer->word);
        if (p->hub) wire = "hub " + p->hub->name;
        r.attrs.emplace_back("wire", wire);
        r.attrs.emplace_back("trunk", p->lif && p->lif->trunk ? portText(p->lif->word) : "");
        std::string vlans;
        if (p->lif) {
            for (const auto& [instance, member] : p->lif->vlans) {
                if (!vlans.empty()) vlans += ",";
                vlans += member->vlan ? member->vlan->rec.name : std::to_string(instance);
                if (!member->forwarding) vlans += "(blocked)";
            }
        }
        r.attrs.emplace_back("vlans", vlans);
        xml += formatXmlRecord(r);
    }
    LabResult out = done(std::to_string(m.ports.size()) + " ports");
    out.xml = std::move(xml);
    return out;
}

// Frames from a host on a port's wire, to every port of the VLAN: on a
// looped VLAN they circulate, a broadcast storm, until the hop limit ends
// them or the loop is broken.
LabResult broadcast(const Args& a) {
    constexpr unsigned long kMaxFrames = 10000;
    sw::Vlan* vlan = sw::model().vlanByName(a[0]);
    if (vlan == nullptr || vlan->deleting) return refused("no VLAN " + a[0]);
    uint32_t word = 0;
    std::string error;
    if (!parsePort(a[1], &word, &error)) return refused(error);
    if (!portExists(word)) return refused(sw::model().unknownPort(word));
    unsigned long count = 1;
    if (a.size() > 2) {
        char* end = nullptr;
        count = std::strtoul(a[2].c_str(), &end, 10);
        if (a[2].empty() || *end != '\0' || count < 1 || count > kMaxFrames)
            return refused("\"" + a[2] + "\" is not a frame count (1.." + std::to_string(kMaxFrames) + ")");
    }
    for (unsigned long i = 0; i < count; i++) injectBroadcast(word, vlan->rec.tag);
    return done(std::to_string(count) + " broadcast frame" + (count == 1 ? "" : "s") + " of " + a[0] + " entered " +
                a[1]);
}

LabResult hopLimit(const Args& a) {
    if (a[0] == "none") {
        setHopLimit(-1);
        return done("frames are flooded without a hop limit");
    }
    char* end = nullptr;
    const unsigned long n = std::strtoul(a[0].c_str(), &end, 10);
    if (a[0].empty() || *end != '\0' || n > 1000) return refused("hop limit must be 0..1000 or none");
    setHopLimit(int(n));
    return done("hop limit " + a[0]);
}

uint16_t parseTag(const std::string& text, bool* ok) {
    char* end = nullptr;
    const unsigned long n = std::strtoul(text.c_str(), &end, 10);
    *ok = !text.empty() && *end == '\0' && n >= 1 && n <= 4094;
    return uint16_t(n);
}

LabResult run(LabOp op, const Args& a) {
    std::string e;
    switch (op) {
        case LabOp::Cable:
            return withPorts(a, [](auto& p, std::string* e) { return cablePorts(p[0], p[1], e); },
                             "cabled " + a[0] + " and " + a[1]);
        case LabOp::Uncable:
            return withPorts(a, [](auto& p, std::string* e) { return uncablePort(p[0], e); }, "uncabled " + a[0]);
        case LabOp::Hub: {
            const std::string& hub = a[0];
            return withPorts(
                Args(a.begin() + 1, a.end()),
                [hub](auto& p, std::string* e) {
                    for (uint32_t w : p)
                        if (!joinHub(hub, w, e)) return false;
                    return true;
                },
                "hub " + hub + " joined by " + joined(a, 1));
        }
        case LabOp::Unhub:
            return withPorts(
                a,
                [](auto& p, std::string* e) {
                    for (uint32_t w : p)
                        if (!leaveHub(w, e)) return false;
                    return true;
                },
                "left the hub: " + joined(a));
        case LabOp::PortEnable:
        case LabOp::PortDisable: {
            const bool on = op == LabOp::PortEnable;
            return withPorts(a, [on](auto& p, std::string* e) { return setPortEnabled(p[0], on, e); },
                             "port " + a[0] + (on ? " enabled" : " disabled"));
        }
        case LabOp::Block:
        case LabOp::Unblock: {
            const bool block = op == LabOp::Block;
            const std::string& vlan = a[0];
            return withPorts(Args{a[1]},
                             [vlan, block](auto& p, std::string* e) { return setPortBlocked(vlan, p[0], block, e); },
                             "port " + a[1] + (block ? " blocked in " : " forwarding in ") + vlan);
        }
        case LabOp::VlanAddPort: {
            const std::string& vlan = a[0];
            return withPorts(Args{a[1]}, [vlan](auto& p, std::string* e) { return addVlanPort(vlan, p[0], e); },
                             "port " + a[1] + " added to " + vlan);
        }
        case LabOp::VlanRemovePort: {
            const std::string& vlan = a[0];
            return withPorts(Args{a[1]}, [vlan](auto& p, std::string* e) { return removeVlanPort(vlan, p[0], e); },
                             "port " + a[1] + " removed from " + vlan);
        }
        case LabOp::VlanRename:
            return renameVlan(a[0], a[1], &e) ? done("VLAN " + a[0] + " renamed " + a[1]) : refused(e);
        case LabOp::VlanRetag: {
            bool ok = false;
            const uint16_t tag = parseTag(a[1], &ok);
            if (!ok) return refused("\"" + a[1] + "\" is not a VLAN tag (1..4094)");
            return retagVlan(a[0], tag, &e) ? done("VLAN " + a[0] + " retagged " + a[1]) : refused(e);
        }
        case LabOp::VlanDelete:
            return deleteVlan(a[0], &e) ? done("VLAN " + a[0] + " deleted") : refused(e);
        case LabOp::CaptureStop: {
            const bool was = captureRunning();
            stopCapture();
            return done(was ? "capture stopped" : "no capture was running");
        }
        case LabOp::Capture: return capture(a);
        case LabOp::Ports: return ports(a);
        case LabOp::Role: return role(a);
        case LabOp::Checkpointing: return checkpointing(a);
        case LabOp::Broadcast: return broadcast(a);
        case LabOp::HopLimit: return hopLimit(a);
    }
    return refused("unknown lab command");
}

}  // namespace

LabResult runLabCommand(const std::vector<std::string>& words) {
    std::string error;
    const LabSyntax* command = matchLabCommand(words, &error);
    if (command == nullptr) return refused(error);
    return run(command->op, Args(words.begin() + long(command->words.size()), words.end()));
}

}  // namespace mira::control
