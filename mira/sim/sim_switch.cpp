// The simulated switch's answers for operators: port names, the port
// listing, lab commands and reset.
#include "mira/sim/sim_switch.h"

#include "mira/sim/control_lab.h"
#include "mira/sim/switch.h"
#include "mira/sim/switch_model.h"

namespace mira::sim {

std::string SimSwitch::portName(uint32_t word) { return portText(word); }

bool SimSwitch::parsePortName(const std::string& text, uint32_t* word) {
    uint32_t parsed = 0;
    if (!parsePortText(text, &parsed) || !portExists(parsed)) return false;
    *word = parsed;
    return true;
}

std::vector<SwitchPortInfo> SimSwitch::listPorts() {
    std::vector<SwitchPortInfo> out;
    for (const auto& p : sw::model().ports) {
        SwitchPortInfo info;
        info.word = p->word;
        info.name = portText(p->word);
        if (p->lif && p->lif->trunk) info.group = portText(p->lif->word);
        info.adminUp = p->enabled;
        info.linkUp = sw::linkUp(p.get());
        info.state = p->enabled ? "forwarding" : "disabled";
        if (p->lif) {
            for (const auto& [instance, member] : p->lif->vlans) {
                if (!info.vlans.empty()) info.vlans += ",";
                info.vlans += member->vlan ? member->vlan->rec.name : std::to_string(instance);
            }
        }
        out.push_back(std::move(info));
    }
    return out;
}

std::vector<vlanIf_t> SimSwitch::listVlans() {
    std::vector<vlanIf_t> out;
    for (const auto& [instance, vlan] : sw::model().vlans)
        if (!vlan->deleting) out.push_back(vlan->rec);
    return out;
}

LabResult SimSwitch::labCommand(const std::vector<std::string>& words) { return control::runLabCommand(words); }

void SimSwitch::reset() { resetSwitch(); }

SimSwitch& simulatedSwitch() {
    static SimSwitch instance;
    return instance;
}

}  // namespace mira::sim
