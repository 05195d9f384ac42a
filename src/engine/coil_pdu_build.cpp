// Building a service's loop-detection PDU, and verifying a received one.
#include <cstring>

#include "engine/coil.h"
#include "engine/coil_bytes.h"
#include "engine/coil_pdu_format.h"
#include "frame/coil_log.h"
#include "nup.h"

static constexpr const char* coilUnit = "coil_pdu";

int coilBuildPdu(const coilTarget_t* target, uint32_t serviceId, coilPduBuf_t* frame) {
    uint8_t* f = frame->frame;
    std::memset(f, 0, COIL_PDU_FRAME_SPACE);

    uint8_t* tlv = nupFindDataPtr(f, COIL_NUP_KIND);
    if (tlv == nullptr) return -1;
    tlv[0] = COIL_TLV_MARKER;
    tlv[1] = COIL_TLV_TYPE;
    coilPutBe16(tlv + 2, COIL_TLV_LENGTH);
    tlv[4] = 2;
    tlv[5] = tlv[6] = tlv[7] = 0;
    coilPutBe32(tlv + 8, target->vlanIfInstance);
    coilPutBe32(tlv + 12, 0);
    coilPutBe32(tlv + 16, serviceId);

    const int length =
        nupBuildPdu(f, COIL_NUP_KIND, COIL_TLV_LENGTH, coilGlobal.gSystemMac, uint16_t(coilGlobal.currSeqNum));
    coilGlobal.currSeqNum += 1;  // wraps from 0xFFFFFFFF to 0

    coilPutBe16(f + COIL_PDU_OFF_TPID, 0x8100);
    coilPutBe16(f + COIL_PDU_OFF_TCI, uint16_t(COIL_TCI_PRIORITY | target->extTag));
    std::memcpy(f + COIL_PDU_OFF_DA, coilGlobal.gCoilDa, 6);
    std::memcpy(f + COIL_PDU_OFF_SA, coilGlobal.gSystemMac, 6);
    coilPutBe16(f + COIL_PDU_OFF_LEN, getAdjustedTypeLength(length));
    static constexpr uint8_t llcSnap[8] = {0xAA, 0xAA, 0x03, 0x0A, 0x5C, 0x33, 0x00, 0xBB};
    std::memcpy(f + COIL_PDU_OFF_LLC, llcSnap, sizeof llcSnap);

    frame->length = uint32_t(length);
    return 0;
}

int coilVerifyTlv(const uint8_t** value, uint16_t* valueLength) {
    coilServiceNode* sr = nullptr;
    return coilVerifyTlvOf(value, valueLength, &sr);
}

int coilVerifyTlvOf(const uint8_t** value, uint16_t* valueLength, coilServiceNode** found) {
    coilRecvPdu_t& rx = coilRecvPdu;
    // The service is searched before the checks that decide whether it is
    // needed (a search changes nothing): its cache misses then overlap those
    // of the VLAN lookup instead of following them.
    const uint32_t serviceId = coilGetBe32(rx.frame + COIL_PDU_OFF_TLV_SERVICE);
    coilIndexPrefetch(&coilGlobal.idIndex, serviceId);
    vlanIf_t* vlanIf = nullptr;
    if (vlanLibGetVlanIfByInstance(rx.vlanIfInstance, &vlanIf) != 1 || vlanIf == nullptr) return 2;
    coilServiceNode* const sr = coilFindServiceById(serviceId);
    if (sr != nullptr) coilPrefetchForReceive(sr);
    coilCopyText(rx.vlanName, sizeof rx.vlanName, vlanIf->name);

    const uint8_t* f = rx.frame;
    const uint8_t marker = f[COIL_PDU_OFF_TLV];
    if (marker != COIL_TLV_MARKER) {
        COIL_TRACE("Wrong marker %d pkt from %d:%d:%u\n", marker, rx.inPif.slot, rx.inPif.port, rx.vlanIfInstance);
        return 2;
    }
    const uint32_t headerLength = coilGetBe16(f + COIL_PDU_OFF_NUP_LEN);
    const uint32_t tlvLength = coilGetBe16(f + COIL_PDU_OFF_TLV_LEN);
    const uint32_t expected = headerLength - 20u;  // wraps for a header length below 20
    if (tlvLength < expected) {
        COIL_TRACE("May contain more than one TLV %d/%d pkt from %d:%d:%u\n", tlvLength, headerLength,
                   rx.inPif.slot, rx.inPif.port, rx.vlanIfInstance);
        return 2;
    }
    if (tlvLength > expected) {
        COIL_TRACE("TLV is truncated in the packet %d/%d pkt from %d:%d:%u\n", tlvLength, headerLength,
                   rx.inPif.slot, rx.inPif.port, rx.vlanIfInstance);
        return 2;
    }
    const uint8_t type = f[COIL_PDU_OFF_TLV_TYPE];
    if (type != COIL_TLV_TYPE) {
        COIL_TRACE("unknown TLV %d \n", type);
        return 2;
    }
    // Only the one 20-byte TLV is understood; a longer one is dropped.
    if (tlvLength > COIL_TLV_LENGTH) return 2;
    *value = f + COIL_PDU_OFF_TLV_VALUE;
    *valueLength = uint16_t(tlvLength - 4);

    if (sr == nullptr) {
        COIL_TRACE("[1] Could not locate service node for ID %u \n", serviceId);
        return 2;
    }
    *found = sr;
    if (sr->hdr.clientType != COIL_CLIENT_OPERATOR) return 0;

    lif_t* lif = nullptr;
    if (vlanLibGetLifBySlotPort(rx.inPif.slot, rx.inPif.port, &lif) != 1) return 2;
    if (lif == nullptr) return 0;
    vpif_t* vpif = vlanLibGetVpifByVlanSlotPort(vlanIf, lif);
    if (vpif == nullptr) return 2;
    return vlanLibVpifUpAndForwarding(vpif) ? 0 : 2;
}
