// Cutting a loop: the ingress port of a returned PDU and every other member
// of its trunk are disabled, unless a port disabled moments ago has most
// likely broken the same loop already.
#include <cstdio>

#include "engine/coil.h"
#include "events/coil_dm.h"
#include "frame/coil_log.h"
#include "watch.h"

static constexpr const char* coilUnit = "coil_state";

int coilPortControl_validate(coilServiceNode* sr) {
    if (coilPortControlGet(coilPortWord(sr->target.inPif)) != nullptr) {
        COIL_DEBUG("%s() port %s already disabled..ignore", __func__,
                   getPortStr(sr->target.inPif.slot, sr->target.inPif.port));
        return 0;
    }
    // The clock only when a recent record may decide: in a storm most
    // frames come in on ports already disabled.
    const uint32_t now = uint32_t(miraTime(nullptr));
    for (coilPortControl* rec = coilPortControlGetFirst(); rec != nullptr; rec = coilPortControlGetNext(rec)) {
        // Records are newest first: once one is older than the window, all are.
        if (rec->timeDisabled < now - coilGlobal.disablePortWaitTime) return 1;
        lif_t* a = nullptr;
        lif_t* b = nullptr;
        const int ra = vlanLibGetLifBySlotPort(rec->inLif.slot, rec->inLif.port, &a);
        const int rb = vlanLibGetLifBySlotPort(sr->target.inLif.slot, sr->target.inLif.port, &b);
        COIL_DEBUG("%s() pNode:%d:%d target:%d:%d", __func__, rec->inLif.slot, rec->inLif.port, sr->target.inLif.slot,
                   sr->target.inLif.port);
        if (ra != 1 || rb != 1 || a == nullptr || b == nullptr) continue;
        if (a == b) {
            COIL_DEBUG("%s() Matching LIF!   pNode:%d:%d target:%d:%d", __func__, rec->inLif.slot, rec->inLif.port,
                       sr->target.inLif.slot, sr->target.inLif.port);
            return 1;
        }
        for (vpif_t* vpif = getFirstVpifOnPort(a); vpif != nullptr; vpif = getNextVpifOnPort(a, vpif->vlanIf)) {
            const uint16_t slot = portInstanceSlot(vpif->lif->portInstance);
            const uint16_t port = portInstancePort(vpif->lif->portInstance);
            COIL_DEBUG("   %s() Walking vpif %d:%d vlan:%s", __func__, slot, port, vpif->vlanIf->name);
            if (getVpifByVlanSlotPort(vpif->vlanIf, b) != nullptr) {
                COIL_DEBUG("   %s() Target found...SKIP! vpif %d:%d vlan:%s", __func__, slot, port,
                           vpif->vlanIf->name);
                return 0;
            }
        }
    }
    return 1;
}

int coilControlPortDisable(coilServiceNode* sr, uint32_t event) {
    if (coilPortControl_validate(sr) != 1) return 0;

    coilTarget_t& t = sr->target;
    lif_t* lif = nullptr;
    if (vlanLibGetLifBySlotPort(t.inLif.slot, t.inLif.port, &lif) != 1 || lif == nullptr) {
        COIL_DEBUG("Unable to find pif for port:%s  lif:%d:%d  pif:%d:%d", getPortStr(t.inLif.slot, t.inLif.port),
                   t.inLif.slot, t.inLif.port, t.inPif.slot, t.inPif.port);
        return 0;
    }
    // A run that saw no loop of its own never cuts a port: its recorded
    // ingress can only be a PDU that came back on another VLAN.
    if (event != EV_LOOP_DETECTED) return 0;
    for (pif_t* pif = getFirstPifOnLif(lif); pif != nullptr; pif = getNextPifOnLif(lif, pif)) {
        t.inLif = coilSlotPort_t{lif->slot, lif->port};  // a trunk's own display numbers
        t.inPif = coilSlotPort_t{portInstanceSlot(pif->portInstance), portInstancePort(pif->portInstance)};
        coilPortControl* rec = coilPortControlCreate(sr);
        const char* portText = getPortStr(t.inPif.slot, t.inPif.port);
        COIL_DEBUG("Adding port %s to disable portInstanceList", portText);
        char reason[50];
        if (t.disablePortDuration != 0)
            std::snprintf(reason, sizeof reason, "Auto re-enable port after %d seconds", int(t.disablePortDuration));
        else
            std::snprintf(reason, sizeof reason, "Permanent");
        if (coilEmsGate(_ems_COIL_ComponentHandle, COIL_COND_DSBL_PORT))
            emsNotifyIncident(coilUnit, __LINE__, __func__, _ems_COIL_ComponentHandle, COIL_COND_DSBL_PORT, portText,
                              reason);
        if (coilIsPrimary()) {
            coil_dm_Checkpoint_PortControl(rec, 1);
            const uint32_t portWord = coilPortWord(t.inPif);
            vlanLibSetPortAdminState(&portWord, 1, 0);
            coilWatch(WATCH_PORT_DISABLED, sr, portWord, 0, t.disablePortDuration);
        }
    }
    return 0;
}
