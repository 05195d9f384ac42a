// The VLAN manager's change notifications. Each change of the model is
// reported through the loop, after the call that made it has returned, to
// every handler table registered with connectToVlanMgr. A notification made
// for a model that has since been replaced (topology reload, reset) is
// dropped.
#include "mira/core/loop.h"
#include "mira/core/vlanmgr.h"
#include "mira/sim/switch_model.h"

namespace mira::sw {

namespace {

// Calls fn with the typed handler of every registered table whose slot at
// byteOffset is set; later, and only while the model is still the same.
template <class Handler, class Call>
void deliver(int byteOffset, Call call) {
    const uint64_t generation = model().generation;
    post([generation, byteOffset, call] {
        if (model().generation != generation) return;
        vlanmgr::callHandlers<Handler>(byteOffset, call);
    });
}

}  // namespace

void notifyAddPort(const Vlan& vlan, const Lif& lif) {
    deliver<vlanMgrPortFn_t>(VLANMGR_ADD_PORT, [name = std::string(vlan.rec.name), instance = vlan.rec.vlanIfInstance,
                                                ifIndex = lif.ifIndex, word = lif.word](vlanMgrPortFn_t fn) {
        fn(name.c_str(), instance, ifIndex, 0, word);
    });
}

void notifyRemovePort(const Vlan& vlan, const Lif& lif) {
    deliver<vlanMgrPortFn_t>(VLANMGR_REM_PORT, [name = std::string(vlan.rec.name), instance = vlan.rec.vlanIfInstance,
                                                ifIndex = lif.ifIndex, word = lif.word](vlanMgrPortFn_t fn) {
        fn(name.c_str(), instance, ifIndex, 0, word);
    });
}

void notifyRename(const std::string& oldName, const std::string& newName, uint32_t instance) {
    deliver<vlanMgrRenameFn_t>(VLANMGR_RENAME, [oldName, newName, instance](vlanMgrRenameFn_t fn) {
        fn(oldName.c_str(), newName.c_str(), instance);
    });
}

void notifyRetag(const Vlan& vlan, uint16_t oldTag, uint16_t newTag) {
    deliver<vlanMgrTagFn_t>(VLANMGR_CFG_TAG, [name = std::string(vlan.rec.name), instance = vlan.rec.vlanIfInstance,
                                              oldTag, newTag](vlanMgrTagFn_t fn) {
        fn(name.c_str(), instance, oldTag, newTag);
    });
}

void notifyDeleteVlan(const Vlan& vlan) {
    const std::string name = vlan.rec.name;
    const uint32_t instance = vlan.rec.vlanIfInstance;
    deliver<vlanMgrDelVlanFn_t>(VLANMGR_DEL_VLAN,
                                [name, instance](vlanMgrDelVlanFn_t fn) { fn(name.c_str(), instance); });
    // Posted after the handlers' task, so the record is still there for them.
    const uint64_t generation = model().generation;
    post([generation, instance] {
        if (model().generation == generation) model().eraseVlan(instance);
    });
}

void notifyPortState(std::vector<uint32_t> ports, uint32_t state) {
    deliver<vlanMgrPortStateFn_t>(VLANMGR_CFG_PORT_STATE, [ports = std::move(ports), state](vlanMgrPortStateFn_t fn) {
        fn(ports.data(), state, uint32_t(ports.size()));
    });
}

void resetVlanMgr() { vlanmgr::clearTables(); }

}  // namespace mira::sw
