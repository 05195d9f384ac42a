// Get and set handlers of the configuration objects coilGlobalCfg,
// coilServiceNode, coilServiceStatus, coilDisabledPortStatus and coilDebug.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "clients/coil_objdef.h"
#include "clients/coil_service.h"
#include "diag/coil_debug.h"
#include "frame/coil_log.h"

[[maybe_unused]] static constexpr const char* coilUnit = "coil_cmbackend";

namespace {

bool flagSet(const cmRequest_t* request, uint32_t flag) { return (request->flags & flag) != 0; }

// A get handler's one record becomes the reply node's chain.
void attach(cmRequest_t* request, uint32_t objectId, void* record) {
    if (request->reply == nullptr) return;
    request->reply->info = coilObjectInfoEntry(objectId);
    request->reply->record = record;
}

void raiseChange(cmRequest_t* request) {
    request->configChanged = 1;
    request->actionTaken = 1;
}

template <typename Record>
void clearBitmap(Record* r) {
    std::memset(r->bitmap, 0, sizeof r->bitmap);
}

}  // namespace

int coilGlobalCfg_t_set(cmRequest_t* request, coilGlobalCfg_t* record) {
    if (coilFieldPresent(record->bitmap, COIL_GCFG_ENABLE)) {
        const uint32_t value = record->enable & 0xffff;
        const bool changed = value != coilGlobal.coilEnable;
        if (enableCoilClient(value) != 0) return 0;
        if (changed) raiseChange(request);
        coilGlobal.coilEnable = value;
    }
    if (coilFieldPresent(record->bitmap, COIL_GCFG_DISABLE_PORT_WAIT_TIME) &&
        record->disablePortWaitTime != coilGlobal.disablePortWaitTime) {
        raiseChange(request);
        coilGlobal.disablePortWaitTime = record->disablePortWaitTime;
    }
    if (coilFieldPresent(record->bitmap, COIL_GCFG_CLEAR_COUNTER)) {
        if (!flagSet(request, CM_FLAG_IMPLIED_ROW_STATUS)) clearCoilCounters();
        request->actionTaken = 1;
        request->configChanged = 0;
    }
    return 1;
}

int coilGlobalCfg_t_get(cmRequest_t* request) {
    coilGlobalCfg_t* r = coilGlobalCfg_t_alloc();
    if (r == nullptr) {
        bufferPutf(&request->message, "Internal error --> Malloc failed!");
        return 0;
    }
    clearBitmap(r);
    r->coilClients = uint16_t(coilGlobal.coilClients);
    r->txpkts = coilGlobal.numPktsSent;
    r->rxpkts = coilGlobal.numPktsRcvd;
    r->enable = coilGlobal.coilEnable;
    r->disablePortWaitTime = coilGlobal.disablePortWaitTime;
    for (unsigned f : {COIL_GCFG_COIL_CLIENTS, COIL_GCFG_TXPKTS, COIL_GCFG_RXPKTS, COIL_GCFG_ENABLE,
                       COIL_GCFG_DISABLE_PORT_WAIT_TIME})
        coilFieldSetPresent(r->bitmap, f);
    attach(request, COIL_ID_COIL_GLOBAL_CFG, r);
    return 1;
}

int coilServiceNode_t_get(cmRequest_t* request, coilServiceNode_t* key) {
    coilServiceNode* sr = nullptr;
    if (flagSet(request, CM_FLAG_NEXT)) {
        if (coilFieldPresent(key->bitmap, COIL_SN_CLIENT_IDENTIFIER) && key->clientIdentifier[0] != '\0')
            sr = findCoilServiceNextNode(key->clientIdentifier, key->vlanIfInstance);
        else
            sr = findCoilServiceFirstNode();
    } else if (!flagSet(request, CM_FLAG_EXACT)) {
        return 0;
    } else {
        vlanIf_t* vlanIf = nullptr;
        if (vlanLibGetVlanIfByName(key->vlan, &vlanIf) != 1 || vlanIf == nullptr) {
            bufferPutf(&request->message, "Invalid Vlan %s specified!", key->vlan);
            return 0;
        }
        sr = findCoilServiceNode(key->clientIdentifier, vlanIf->vlanIfInstance);
    }
    if (sr == nullptr) return 1;

    coilServiceNode_t* r = coilServiceNode_t_alloc();
    if (r == nullptr) {
        bufferPutf(&request->message, "Internal error --> Malloc failed!");
        return 0;
    }
    clearBitmap(r);
    const coilTarget_t& t = sr->target;
    r->vlanIfInstance = sr->hdr.vlanIfInstance;
    coilFieldSetPresent(r->bitmap, COIL_SN_VLAN_IF_INSTANCE);
    coilCopyText(r->vlan, sizeof r->vlan, t.vlan);
    coilFieldSetPresent(r->bitmap, COIL_SN_VLAN);
    coilCopyText(r->clientIdentifier, sizeof r->clientIdentifier, sr->hdr.clientId);
    coilFieldSetPresent(r->bitmap, COIL_SN_CLIENT_IDENTIFIER);
    if (t.pollType == COIL_POLL_ONESHOT || t.pollType == COIL_POLL_PERIODIC) {
        r->txpkts = sr->serviceStats.txpkts;
        r->rxpkts = sr->serviceStats.rxpkts;
        coilFieldSetPresent(r->bitmap, COIL_SN_TXPKTS);
        coilFieldSetPresent(r->bitmap, COIL_SN_RXPKTS);
    }
    r->interval = uint16_t(t.timeout);
    r->pollType = uint16_t(t.pollType);
    r->retry = uint16_t(t.count);
    r->action = uint16_t(t.action);
    r->numPorts = uint16_t(t.numPorts);
    r->disablePort = uint16_t(t.disablePort);
    r->disablePortDuration = uint16_t(t.disablePortDuration);
    PORTLIST_COPY(&r->ports, &t.ports);
    r->clientType = sr->hdr.clientType;
    for (unsigned f : {COIL_SN_INTERVAL, COIL_SN_POLL_TYPE, COIL_SN_RETRY, COIL_SN_ACTION, COIL_SN_NUM_PORTS,
                       COIL_SN_DISABLE_PORT, COIL_SN_DISABLE_PORT_DURATION, COIL_SN_PORTS, COIL_SN_CLIENT_TYPE})
        coilFieldSetPresent(r->bitmap, f);
    attach(request, COIL_ID_COIL_SERVICE_NODE, r);
    return 2;
}

int coilServiceStatus_t_get(cmRequest_t* request, coilServiceStatus_t* key) {
    if (!flagSet(request, CM_FLAG_EXACT)) return 1;
    if (!coilFieldPresent(key->bitmap, COIL_SS_VLAN_IF_INSTANCE) ||
        !coilFieldPresent(key->bitmap, COIL_SS_CLIENT_IDENTIFIER))
        return 1;
    vlanIf_t* vlanIf = nullptr;
    if (vlanLibGetVlanIfByName(key->vlan, &vlanIf) != 1 || vlanIf == nullptr) {
        bufferPutf(&request->message, "Invalid Vlan %s specified!", key->vlan);
        return 0;
    }
    coilServiceNode* sr = findCoilServiceNode(key->clientIdentifier, vlanIf->vlanIfInstance);
    if (sr == nullptr) return 1;
    coilServiceStatus_t* r = coilServiceStatus_t_alloc();
    if (r == nullptr) {
        bufferPutf(&request->message, "Internal error --> Malloc failed!");
        return 0;
    }
    clearBitmap(r);
    r->vlanIfInstance = sr->hdr.vlanIfInstance;
    coilCopyText(r->vlan, sizeof r->vlan, sr->target.vlan);
    coilCopyText(r->clientIdentifier, sizeof r->clientIdentifier, sr->hdr.clientId);
    coilCopyText(r->statusString, sizeof r->statusString, coilStatusText(sr));
    r->statusFlag = uint16_t(sr->serviceStats.statusFlag);
    r->pollCount = uint16_t(sr->serviceStats.pollCount);
    for (unsigned f : {COIL_SS_VLAN_IF_INSTANCE, COIL_SS_VLAN, COIL_SS_CLIENT_IDENTIFIER, COIL_SS_STATUS_STRING,
                       COIL_SS_STATUS_FLAG, COIL_SS_POLL_COUNT})
        coilFieldSetPresent(r->bitmap, f);
    attach(request, COIL_ID_COIL_SERVICE_STATUS, r);

    // Reading the result of a finished run consumes it. A service still
    // polling, or a client daemon's, is only reported on.
    if (sr->serviceStats.statusFlag == 0 && sr->state == COIL_STATE_INIT && sr->hdr.clientType == COIL_CLIENT_OPERATOR &&
        sr->target.pollType == COIL_POLL_ONESHOT) {
        stopSrCleanupTimer(sr);
        coilNodeCleanup(sr);
    }
    return 2;
}

int coilDisabledPortStatus_t_get(cmRequest_t* request, coilDisabledPortStatus_t* key) {
    coilPortControl* rec = nullptr;
    const bool keyed = coilFieldPresent(key->bitmap, COIL_DPS_DISABLED_PORT);
    if (flagSet(request, CM_FLAG_NEXT)) {
        rec = keyed ? coilPortControlGetNext(coilPortControlGet(key->disabledPort)) : coilPortControlGetFirst();
        if (rec == nullptr) return 1;
    } else if (!flagSet(request, CM_FLAG_EXACT) || !keyed) {
        return 0;
    } else {
        rec = coilPortControlGet(key->disabledPort);
        if (rec == nullptr) return 1;
    }
    if ((request->flags & CM_FLAG_COUNT_MASK) != 0) {
        coilDisabledPortStatus_t* r = coilDisabledPortStatus_t_alloc();
        if (r == nullptr) {
            bufferPutf(&request->message, "Internal error --> Malloc failed!");
            return 0;
        }
        clearBitmap(r);
        r->disabledPort = coilPortWord(rec->inPif);
        coilCopyText(r->timeDisabled, sizeof r->timeDisabled, miraAsctime(time_t(rec->timeDisabled)));
        r->disablePortDuration = uint16_t(rec->sPtr->target.disablePortDuration);
        coilCopyText(r->vlan, sizeof r->vlan, rec->sPtr->target.vlan);
        for (unsigned f : {COIL_DPS_DISABLED_PORT, COIL_DPS_TIME_DISABLED, COIL_DPS_DISABLE_PORT_DURATION, COIL_DPS_VLAN})
            coilFieldSetPresent(r->bitmap, f);
        attach(request, COIL_ID_COIL_DISABLED_PORT_STATUS, r);
    }
    return flagSet(request, CM_FLAG_EXACT) ? 1 : 2;
}

int coilDebug_t_set(cmRequest_t*, coilDebug_t* record) {
    if (!coilFieldPresent(record->bitmap, COIL_DBG_CMD)) return 1;
    switch (record->cmd) {
        case 1: debugDumpControlPortList(); break;
        case 2: debugDumpServiceList(); break;
        case 3: debugDumpGlobal(); break;
        case 4:
            if (coilFieldPresent(record->bitmap, COIL_DBG_DISABLE_PORT_WAIT_TIME))
                coilGlobal.disablePortWaitTime = record->disablePortWaitTime;
            break;
        default:
            std::printf("Invalid debug command action %d\n", record->cmd);
            break;
    }
    return 1;
}
