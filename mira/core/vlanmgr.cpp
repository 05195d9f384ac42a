// The VLAN manager's handler tables.
#include "mira/core/vlanmgr.h"

#include <algorithm>
#include <vector>

namespace mira::vlanmgr {

namespace {

std::vector<vlanMgrHandlers_t*>& tables() {
    static std::vector<vlanMgrHandlers_t*> registered;
    return registered;
}

}  // namespace

void forEachHandler(int byteOffset, const std::function<void(vlanMgrSlot_t)>& call) {
    const std::vector<vlanMgrHandlers_t*> snapshot = tables();  // a handler may register another table
    for (vlanMgrHandlers_t* t : snapshot)
        if (vlanMgrSlot_t slot = vlanMgrSlot(*t, byteOffset)) call(slot);
}

void clearTables() { tables().clear(); }

}  // namespace mira::vlanmgr

int connectToVlanMgr(int, vlanMgrHandlers_t* handlers) {
    if (!handlers) return -1;
    auto& tables = mira::vlanmgr::tables();
    if (std::find(tables.begin(), tables.end(), handlers) == tables.end()) tables.push_back(handlers);
    return 0;
}
