// Keeping services and the port control list in step with the VLAN
// manager's changes: ports joining and leaving, VLANs renamed, retagged or
// deleted, ports enabled again.
#include "events/coil_vlan.h"

#include "clients/coil_service.h"
#include "engine/coil.h"
#include "frame/coil_log.h"

static constexpr const char* coilUnit = "coil_vlan";

namespace {

vlanMgrHandlers_t coilVlanHandlers;

template <typename Fn>
vlanMgrSlot_t slotOf(Fn fn) {
    return reinterpret_cast<vlanMgrSlot_t>(fn);
}

// Clears port (slot, port) in a port list; port 0 wraps to the group's last bit.
void clearPortBit(PORTLIST_T& list, uint32_t slot, uint32_t port) {
    const uint32_t group = (slot - dmGetSlotFirst()) % 32;
    const uint32_t bit = (port - 1) & 0xff;
    list.group[group][bit / 32] &= ~(0x80000000u >> (bit % 32));
}

uint32_t countServicesOf(uint32_t vlanIfInstance) {
    uint32_t n = 0;
    for (coilServiceNode* sr = coilFirstService(); sr != nullptr; sr = coilNextService(sr))
        if (sr->hdr.vlanIfInstance == vlanIfInstance) n++;
    return n;
}

}  // namespace

int coilVlanInit(void) {
    coilVlanHandlers = vlanMgrHandlers_t{};
    vlanMgrSlot(coilVlanHandlers, VLANMGR_DEL_VLAN) = slotOf(coilHandleDelVlan);
    vlanMgrSlot(coilVlanHandlers, VLANMGR_ADD_PORT) = slotOf(coilHandleAddPortToVlan);
    vlanMgrSlot(coilVlanHandlers, VLANMGR_REM_PORT) = slotOf(coilHandleRemPortFromVlan);
    vlanMgrSlot(coilVlanHandlers, VLANMGR_CFG_TAG) = slotOf(coilHandleCfgTagToVlan);
    vlanMgrSlot(coilVlanHandlers, VLANMGR_CFG_PORT_STATE) = slotOf(coilHandleCfgPortState);
    vlanMgrSlot(coilVlanHandlers, VLANMGR_RENAME) = slotOf(coilHandleVlanRename);
    return connectToVlanMgr(15, &coilVlanHandlers);
}

int coilHandleAddPortToVlan(const char*, uint32_t vlanIfInstance, uint32_t, uint32_t, uint32_t) {
    for (coilServiceNode* sr = coilFirstService(); sr != nullptr; sr = coilNextService(sr)) {
        if (sr->hdr.vlanIfInstance != vlanIfInstance) continue;
        sr->target.noVpifs = uint8_t(sr->target.noVpifs + 1);
        COIL_TRACE("sr->target.noVpifs %d", sr->target.noVpifs);
    }
    return 0;
}

int coilHandleRemPortFromVlan(const char*, uint32_t vlanIfInstance, uint32_t ifIndex, uint32_t flags,
                              uint32_t portWord) {
    const uint32_t slot = (portWord >> 16) & 0xff;
    const uint32_t port = portWord & 0xffff;
    COIL_DEBUG("%s()    port: %d:%d  vlanIfInstance:%d ifIndex:%d flags:0x%x\n", __func__, slot, port, vlanIfInstance,
               ifIndex, flags);
    const bool plain = (portWord >> 24) == 0;
    for (coilServiceNode* sr = coilFirstService(); sr != nullptr; sr = coilNextService(sr)) {
        if (sr->hdr.vlanIfInstance != vlanIfInstance) continue;
        if (sr->target.noVpifs != 0) {
            sr->target.noVpifs--;
            clearPortBit(sr->target.ports, plain ? slot : 0, plain ? port : 0);
        }
        COIL_TRACE("sr->target.noVpifs %d", sr->target.noVpifs);
    }
    coilPortControlDestroy(coilPortControlGet((slot << 16) | port));
    return 0;
}

int coilHandleVlanRename(const char*, const char* newName, uint32_t vlanIfInstance) {
    for (coilServiceNode* sr = coilFirstService(); sr != nullptr; sr = coilNextService(sr)) {
        if (sr->hdr.vlanIfInstance != vlanIfInstance) continue;
        coilStatusText(sr);  // an owed text names the VLAN as it was called then
        coilCopyText(sr->target.vlan, sizeof sr->target.vlan, newName);
        COIL_TRACE("sr->target.vlan %s", sr->target.vlan);
    }
    return 0;
}

int coilHandleDelVlan(const char* name, uint32_t vlanIfInstance) {
    vlanIf_t* vlanIf = nullptr;
    if (vlanLibGetVlanIfByName(name, &vlanIf) != 1 || vlanIf == nullptr) return 1;
    // Each removal restarts the walk: never step from a freed service.
    for (uint32_t n = countServicesOf(vlanIfInstance); n > 0; n--) {
        for (coilServiceNode* sr = coilFirstService(); sr != nullptr; sr = coilNextService(sr)) {
            if (sr->hdr.vlanIfInstance != vlanIfInstance) continue;
            sr->curState(sr, EV_SERVICE_DELETE);
            COIL_TRACE("Node Cleanup %s:%d:%s", sr->hdr.clientId, sr->hdr.vlanIfInstance, sr->target.vlan);
            coilNodeCleanup(sr);
            break;
        }
    }
    vlanIf->clientWord = 0;
    return 0;
}

int coilHandleCfgTagToVlan(const char*, uint32_t vlanIfInstance, uint32_t, uint32_t newTag) {
    vlanIf_t* vlanIf = nullptr;
    if (vlanLibGetVlanIfByInstance(vlanIfInstance, &vlanIf) != 1 || vlanIf == nullptr) return 0;
    if (vlanIf->clientWord != 0) vlanIf->clientWord = coilAttachPktFilter(vlanIf);
    for (coilServiceNode* sr = coilFirstService(); sr != nullptr; sr = coilNextService(sr)) {
        if (sr->hdr.vlanIfInstance != vlanIfInstance) continue;
        COIL_TRACE("802.1q tag change %s:%d:%s", sr->hdr.clientId, sr->hdr.vlanIfInstance, sr->target.vlan);
        sr->target.extTag = uint16_t(newTag);
    }
    return 0;
}

int coilHandleCfgPortState(const uint32_t* ports, uint32_t state, uint32_t count) {
    const uint8_t enabled = uint8_t(state);
    COIL_DEBUG("%s() state:%d noPorts:%d", __func__, enabled, count);
    for (uint32_t i = 0; i < count; i++) {
        const uint16_t slot = portInstanceSlot(ports[i]);
        const uint16_t port = portInstancePort(ports[i]);
        if (enabled == 0) {
            COIL_DEBUG("%s() port: %d:%d was disabled. state:%d  Ignore this message.", __func__, slot, port, enabled);
            continue;
        }
        COIL_DEBUG("%s()    port: %d:%d  state:%d", __func__, slot, port, enabled);
        lif_t* lif = nullptr;
        if (vlanLibGetLifBySlotPort(slot, port, &lif) != 1) {
            COIL_DEBUG("Unable to find pif for port:%s", getPortStr(slot, port));
            continue;
        }
        if (lif == nullptr) continue;
        for (pif_t* pif = getFirstPifOnLif(lif); pif != nullptr; pif = getNextPifOnLif(lif, pif)) {
            const uint32_t word = (uint32_t(portInstanceSlot(pif->portInstance)) << 16) |
                                  portInstancePort(pif->portInstance);
            coilPortControlDestroy(coilPortControlGet(word));
        }
    }
    return 0;
}
