// Checkpoints received from the primary module. A module that is not the
// primary applies them to the services and port control entries it already
// holds; it never creates a service from a checkpoint.
#include <cstdio>
#include <cstring>

#include "clients/coil_service.h"
#include "dm.h"
#include "events/coil_dm.h"
#include "events/coil_dm_cp.h"
#include "events/coil_dm_records.h"
#include "frame/coil_log.h"

static constexpr const char* coilUnit = "coil_dm";

namespace {

// A copied receive record runs the same steps as a frame read from the
// network.
void applyRecvPdu(const uint8_t* message, uint32_t length) {
    if (length < COIL_CP_RECV_PDU_LEN) return;
    coilRecvPdu_t rec;
    coilCpDecodeRecvPdu(message, &rec);
    recvPduCheckpoint(&rec);
    coilVerifyAndProcessPdu();
}

// Gives the service a new identifier. When another service still holds
// that identifier (the two were numbered differently here), the two
// exchange identifiers, so both trees keep one record per service; the
// other service's own checkpoint corrects it later if need be.
void changeServiceId(coilServiceNode* sr, uint32_t newId) {
    coilServiceIdNode* srId = findCoilServiceIdNode(sr->serviceId);
    if (srId == nullptr) {
        COIL_DEBUG("%s() serviceId:%d not found", "coil_parse_cp_service", int(sr->serviceId));
        sr->serviceId = newId;
        return;
    }
    coilRemoveServiceId(srId);
    COIL_DEBUG("%s() serviceId:%d update to %d", "coil_parse_cp_service", int(sr->serviceId), int(newId));
    if (coilServiceIdNode* holder = findCoilServiceIdNode(newId); holder != nullptr) {
        coilRemoveServiceId(holder);
        holder->serviceId = sr->serviceId;
        holder->sr->serviceId = sr->serviceId;
        coilInsertServiceId(holder);
    }
    srId->serviceId = newId;
    coilInsertServiceId(srId);
    sr->serviceId = newId;
}

void applyServiceState(coilServiceNode* sr, uint8_t state) {
    if (state == sr->state) return;
    switch (state) {
        case COIL_STATE_INIT: setServiceState(sr, COIL_STATE_INIT, S_Init); break;
        case COIL_STATE_LOOP_DETECTION: setServiceState(sr, COIL_STATE_LOOP_DETECTION, S_LoopDetection); break;
        default:
            COIL_DEBUG("%s() WARNING: Invalid state :%d  Default to INIT", "coil_parse_cp_service", int(state));
            setServiceState(sr, COIL_STATE_INIT, S_Init);
            break;
    }
}

}  // namespace

int coil_dm_Checkpoint_CB(void*, uint32_t kind, void* message, uint32_t length) {
    if (message == nullptr) return 0;
    const auto* bytes = static_cast<const uint8_t*>(message);
    if (kind == COIL_CP_KIND_RECORDS)
        coil_parse_CP_data(bytes, length);
    else if (kind == COIL_CP_KIND_RECV_PDU)
        applyRecvPdu(bytes, length);
    return 0;
}

void coil_parse_CP_data(const uint8_t* message, uint32_t length) {
    if (dmConfig.node_state == DM_NODE_STATE_PRIMARY) return;
    uint32_t offset = 0;
    while (offset < length) {
        const uint8_t type = message[offset];
        if (type == COIL_CP_TYPE_NONE || type == COIL_CP_END) return;
        const uint32_t recordLength = coilCpRecordLength(type);
        if (recordLength == 0) {
            std::printf("Error: Unknown CP Type (%d)\n", int(type));
            return;
        }
        if (length - offset < recordLength) return;  // the message ends inside the record
        const uint8_t* record = message + offset;
        switch (type) {
            case COIL_CP_GLOBAL: offset += coil_parse_cp_global(record); break;
            case COIL_CP_SERVICE: offset += coil_parse_cp_service(record); break;
            default: offset += coil_parse_cp_portcontrol(record); break;
        }
    }
}

uint32_t coil_parse_cp_global(const uint8_t* record) {
    coilCpGlobal_t rec;
    coilCpDecodeGlobal(record, &rec);
    if (rec.hdr.command == COIL_CP_CMD_UPDATE) {
        COIL_DEBUG("%s() Global UPDATE Checkpoint", __func__);
        coilGlobal.numPktsSent = rec.numPktsSent;
        coilGlobal.numPktsRcvd = rec.numPktsRcvd;
        coilGlobal.txPduFailed = rec.txPduFailed;
        coilGlobal.rxPduFailed = rec.rxPduFailed;
    }
    return COIL_CP_GLOBAL_LEN;
}

uint32_t coil_parse_cp_service(const uint8_t* record) {
    coilCpService_t rec;
    coilCpDecodeService(record, &rec);
    const char* clientId = rec.svcHdr.clientId;
    const uint32_t vlanIfInstance = rec.svcHdr.vlanIfInstance;
    coilServiceNode* sr = findCoilServiceNode(clientId, vlanIfInstance);
    COIL_DEBUG("%s() Process checkpoint coilService clientId:%s  vlanIfInstance:%d  cmd:%d sr:%p", __func__,
               clientId, int(vlanIfInstance), int(rec.hdr.command), static_cast<void*>(sr));
    if (sr == nullptr) {
        COIL_DEBUG("%s() coilService not found for clientId:%s  vlanIfInstance:%d", __func__, clientId,
                   int(vlanIfInstance));
        return COIL_CP_SERVICE_LEN;
    }
    if (rec.hdr.command == COIL_CP_CMD_DELETE) {
        COIL_DEBUG("%s() Service DELETE Checkpoint", __func__);
        // Removal expects a service at rest: no timer may outlive it.
        stopServiceTimers(sr);
        stopSrCleanupTimer(sr);
        coilNodeCleanup(sr);
        return COIL_CP_SERVICE_LEN;
    }
    if (rec.hdr.command != COIL_CP_CMD_UPDATE) return COIL_CP_SERVICE_LEN;

    sr->serviceStats = rec.serviceStats;
    coilForgetOwedText(sr);
    if (rec.serviceId != sr->serviceId) changeServiceId(sr, rec.serviceId);
    sr->prevState = rec.prevState;
    sr->target.inPif = rec.inPif;
    sr->target.inLif = rec.inLif;
    sr->target.txVlanId = rec.txVlanId;
    sr->target.txPortId = rec.txPortId;
    COIL_DEBUG("%s() serviceId:%d prevState:%d state:%d", __func__, int(sr->serviceId), int(sr->prevState),
               int(sr->state));
    applyServiceState(sr, rec.state);
    return COIL_CP_SERVICE_LEN;
}

uint32_t coil_parse_cp_portcontrol(const uint8_t* record) {
    coilCpPortControl_t rec;
    coilCpDecodePortControl(record, &rec);
    if (rec.hdr.command == COIL_CP_CMD_DELETE) {
        COIL_DEBUG("%s() PortControl DELETE Checkpoint", __func__);
        coilPortControlDestroy(coilPortControlGet(coilPortWord(rec.inPif)));
        return COIL_CP_PORT_CONTROL_LEN;
    }
    if (rec.hdr.command != COIL_CP_CMD_UPDATE) return COIL_CP_PORT_CONTROL_LEN;

    COIL_DEBUG("%s() PortControl ADD Checkpoint", __func__);
    coilServiceNode* sr = findCoilServiceNode(rec.svcHdr.clientId, rec.svcHdr.vlanIfInstance);
    if (sr == nullptr) {
        COIL_DEBUG("%s() coilService not found for clientId:%s  vlanIfInstance:%d  BAIL", __func__,
                   rec.svcHdr.clientId, int(rec.svcHdr.vlanIfInstance));
        return COIL_CP_PORT_CONTROL_LEN;
    }
    coilPortControl* pc = coilPortControlGet(coilPortWord(rec.inPif));
    if (pc != nullptr) {
        pc->sPtr = sr;
        pc->timeDisabled = rec.timeDisabled;
    } else {
        COIL_DEBUG("%s() coilPortControl not found for inPif:%d:%d... create it!", __func__, int(rec.inPif.slot),
                   int(rec.inPif.port));
        pc = coilPortControlCreate(sr);
        pc->sPtr = sr;
        pc->inLif = rec.inLif;
        coilPortControl_node_remove(pc);  // its port is its key in the list's index
        pc->inPif = rec.inPif;
        coilPortControl_node_insert(pc);
        pc->txVlanId = rec.txVlanId;
        pc->txPortId = rec.txPortId;
        pc->timeDisabled = rec.timeDisabled;
    }
    coilStopPortDisableHoldTimer(pc);
    return COIL_CP_PORT_CONTROL_LEN;
}
