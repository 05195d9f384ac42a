// Forwarding-database client: static entries that send a MAC address on a
// VLAN to the CPU, kept in the switch model (the fabric consults them).
#include <cstring>

#include "fdb_client.h"
#include "mira/sim/sim_switch.h"
#include "mira/sim/switch_model.h"

namespace {

fdbCallback_t gCallback = nullptr;

bool keyOf(const fdbKey_t* key, const uint8_t* mac, std::pair<mira::sw::Mac, uint32_t>* out) {
    if (!key || !mac) return false;
    std::memcpy(out->first.data(), mac, 6);
    out->second = key->vlanIfInstance;
    return true;
}

}  // namespace

int mira::sim::SimSwitch::fdbInit(fdbCallback_t cb, int) {
    gCallback = cb;
    return 0;
}

int mira::sim::SimSwitch::fdbMacAdd(int, const fdbKey_t* key, const uint8_t* mac, int, int, int) {
    std::pair<mira::sw::Mac, uint32_t> entry;
    if (!keyOf(key, mac, &entry)) return -1;
    mira::sw::model().cpuEntries.insert(entry);
    return 0;
}

int mira::sim::SimSwitch::fdbMacDelete(int, const fdbKey_t* key, const uint8_t* mac, int) {
    std::pair<mira::sw::Mac, uint32_t> entry;
    if (!keyOf(key, mac, &entry)) return -1;
    mira::sw::model().cpuEntries.erase(entry);
    return 0;
}
