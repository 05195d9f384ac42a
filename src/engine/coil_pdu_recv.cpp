// Reception: a frame the filters admitted is one of our own PDUs that came
// back. When it returns on the VLAN its service watches, that VLAN loops.
#include <cstring>

#include "clients/coil_service.h"
#include "engine/coil.h"
#include "engine/coil_bytes.h"
#include "engine/coil_pdu_format.h"
#include "frame/coil_log.h"
#include "kypkt.h"

static constexpr const char* coilUnit = "coil_pdu";

coilRecvPdu_t coilRecvPdu;

// In a storm, frames wait behind the one just read. Each needs the index
// slot of its identifier and then three lines of its service, the one
// found through the other: the slot is started three frames ahead and the
// service two, so each load has two frames' work to arrive in, and the
// loads of several frames overlap instead of following one another.
static void prefetchQueuedFrames(void) {
    kypktQueued_t next[3];
    const int n = peekKypkt(coilGlobal.gCoilRxTxFd, next, 3);
    auto serviceIdOf = [](const kypktQueued_t& q) { return coilGetBe32(q.frame + COIL_PDU_OFF_TLV_SERVICE); };
    if (n > 2 && next[2].length >= COIL_PDU_LENGTH) coilIndexPrefetch(&coilGlobal.idIndex, serviceIdOf(next[2]));
    if (n > 1 && next[1].length >= COIL_PDU_LENGTH)
        if (const coilServiceNode* sr = coilFindServiceById(serviceIdOf(next[1]))) coilPrefetchForReceive(sr);
}

int rxCoilPdu(int, void*, int, int, int cond) {
    if (cond == DISPATCH_COND_HANGUP || cond == DISPATCH_COND_ERROR) return 1;
    if (coilGlobal.gCoilRxTxFd <= 0) return coilGlobal.gCoilRxTxFd;

    coilRecvPdu_t& rx = coilRecvPdu;
    uint32_t scratch = 0;
    rx.rxLength = recvKypkt(coilGlobal.gCoilRxTxFd, rx.frame, sizeof rx.frame, &scratch, &rx.vlanIfInstance,
                            &rx.rxInfo, &rx.inPif.slot, &rx.inLif.slot, 0, 0);
    if (rx.rxLength == -1) return -1;
    // What a short frame did not bring is zero, never a previous frame's bytes.
    if (rx.rxLength >= 0 && rx.rxLength < int32_t(sizeof rx.frame))
        std::memset(rx.frame + rx.rxLength, 0, sizeof rx.frame - size_t(rx.rxLength));

    prefetchQueuedFrames();
    return coilVerifyAndProcessPdu();
}

int coilVerifyAndProcessPdu(void) {
    const uint8_t* value = nullptr;
    uint16_t valueLength = 0;
    coilServiceNode* sr = nullptr;
    const int rc = coilVerifyTlvOf(&value, &valueLength, &sr);
    if (rc != 0) return rc;
    return coilProcessPduOf(value, sr);
}

int coilProcessPdu(const uint8_t* value) { return coilProcessPduOf(value, coilFindServiceById(coilGetBe32(value + 12))); }

int coilProcessPduOf(const uint8_t* value, coilServiceNode* sr) {
    const uint32_t txVlanId = coilGetBe32(value + 4);
    const uint32_t txPortId = coilGetBe32(value + 8);
    const uint32_t serviceId = coilGetBe32(value + 12);

    if (sr == nullptr) {
        COIL_TRACE("Could not locate service node for ID %u \n", serviceId);
        return 1;
    }
    sr->target.inPif = coilRecvPdu.inPif;
    sr->target.inLif = coilRecvPdu.inLif;
    sr->target.txVlanId = txVlanId;
    sr->target.txPortId = txPortId;

    if (sr->hdr.vlanIfInstance != coilRecvPdu.vlanIfInstance) {
        COIL_TRACE("InVlan %s does not match to configured vlan %s for serviceId %d\n", coilRecvPdu.vlanName,
                   sr->target.vlan, sr->serviceId);
        return 1;
    }

    sr->serviceStats.rxpkts++;
    coilGlobal.numPktsRcvd++;
    sr->curState(sr, EV_LOOP_DETECTED);

    if (sr->hdr.clientType == COIL_CLIENT_OPERATOR && sr->target.pollType == COIL_POLL_ONESHOT) {
        if (sr->target.action == COIL_ACTION_TEXT || sr->target.action == COIL_ACTION_TEXT_LOG)
            startSrCleanupTimer(sr);
        else
            coilNodeCleanup(sr);
    }
    return 0;
}

void recvPduCheckpoint(const coilRecvPdu_t* record) {
    if (record == nullptr) return;
    std::memcpy(&coilRecvPdu, record, sizeof coilRecvPdu);
}
