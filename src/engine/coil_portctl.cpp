// The port control list: one record per port the daemon disabled, newest
// first, each with the hold timer that enables its port again.
#include <cstdlib>

#include "engine/coil.h"
#include "events/coil_dm.h"
#include "frame/coil_log.h"
#include "watch.h"

static constexpr const char* coilUnit = "coil_lib";

coilPortControl* coilPortControlGetFirst(void) { return coilGlobal.portControlHead; }

coilPortControl* coilPortControlGetNext(coilPortControl* rec) { return rec == nullptr ? nullptr : rec->next; }

// The index holds each port's newest record: every received frame asks
// whether its ingress port is disabled, and a walk of the list would cost
// a dependent load per disabled port.
coilPortControl* coilPortControlGet(uint32_t portInstance) {
    return static_cast<coilPortControl*>(
        coilIndexFind(&coilGlobal.portControlIndex, portInstance, [](const void*) { return true; }));
}

int coilPortControl_node_insert(coilPortControl* rec) {
    rec->prev = nullptr;
    rec->next = coilGlobal.portControlHead;
    if (coilGlobal.portControlHead != nullptr) coilGlobal.portControlHead->prev = rec;
    coilGlobal.portControlHead = rec;
    const uint32_t word = coilPortWord(rec->inPif);
    if (coilPortControl* older = coilPortControlGet(word); older != nullptr)
        coilIndexRemove(&coilGlobal.portControlIndex, word, older);
    coilIndexAdd(&coilGlobal.portControlIndex, word, rec);
    return 0;
}

int coilPortControl_node_remove(coilPortControl* rec) {
    if (rec->prev != nullptr)
        rec->prev->next = rec->next;
    else
        coilGlobal.portControlHead = rec->next;
    if (rec->next != nullptr) rec->next->prev = rec->prev;
    rec->next = rec->prev = nullptr;
    const uint32_t word = coilPortWord(rec->inPif);
    if (coilPortControlGet(word) != rec) return 0;
    coilIndexRemove(&coilGlobal.portControlIndex, word, rec);
    for (coilPortControl* other = coilGlobal.portControlHead; other != nullptr; other = other->next)
        if (coilPortWord(other->inPif) == word) {
            coilIndexAdd(&coilGlobal.portControlIndex, word, other);
            break;
        }
    return 0;
}

coilPortControl* coilPortControlCreate(coilServiceNode* sr) {
    auto* pNode = static_cast<coilPortControl*>(std::calloc(1, sizeof(coilPortControl)));
    coilAssert(pNode);
    pNode->inLif = sr->target.inLif;
    pNode->inPif = sr->target.inPif;
    pNode->txVlanId = sr->target.txVlanId;
    pNode->txPortId = sr->target.txPortId;
    pNode->id = g_pNodeId++;
    pNode->timeDisabled = uint32_t(miraTime(nullptr));
    pNode->sPtr = sr;
    COIL_DEBUG("%s() node %s", "coilPortControlCreate", getPortStr(pNode->inPif.slot, pNode->inPif.port));
    coilPortControl_node_insert(pNode);
    if (coilIsPrimary() && sr->target.disablePortDuration != 0) coilStartPortDisableHoldTimer(pNode, 0);
    return pNode;
}

void coilPortControlDestroy(coilPortControl* rec) {
    if (rec == nullptr) return;
    COIL_DEBUG("%s() node %s", "coilPortControlDestroy", getPortStr(rec->inPif.slot, rec->inPif.port));
    coilStopPortDisableHoldTimer(rec);
    coilPortControl_node_remove(rec);
    std::free(rec);
}

int coilStartPortDisableHoldTimer(coilPortControl* rec, uint32_t seconds) {
    coilStopPortDisableHoldTimer(rec);
    const uint32_t duration = seconds >= 1 ? seconds : rec->sPtr->target.disablePortDuration;
    rec->tPtr = kyTimerCreate(coilPortDisableHoldTimerExpiry, rec, duration, KY_TIMER_ONESHOT, &coilGlobal.timerCtx);
    return 0;
}

int coilStopPortDisableHoldTimer(coilPortControl* rec) {
    if (rec->tPtr != 0) kyTimerDelete(rec->tPtr, &coilGlobal.timerCtx);
    rec->tPtr = 0;
    return 0;
}

void coilPortDisableHoldTimerExpiry(void* arg) {
    auto* rec = static_cast<coilPortControl*>(arg);
    const uint32_t portWord = coilPortWord(rec->inPif);
    COIL_DEBUG("%s() ...portInstance:%d\n", "coilPortDisableHoldTimerExpiry", portWord);
    if (!coilIsPrimary()) return;
    if (coilEmsGate(_ems_COIL_ComponentHandle, COIL_COND_ENBL_PORT))
        emsNotifyIncident(coilUnit, __LINE__, __func__, _ems_COIL_ComponentHandle, COIL_COND_ENBL_PORT,
                          getPortStr(rec->inPif.slot, rec->inPif.port), int(rec->sPtr->target.disablePortDuration));
    vlanLibSetPortAdminState(&portWord, 1, 1);
    coilWatch(WATCH_PORT_ENABLED, rec->sPtr, portWord);
}
