// Transmission of one poll: a copy of the service's PDU out of every
// eligible port, each naming its egress port, with the checksum updated
// incrementally from the one built.
#include <cerrno>
#include <cstring>

#include "engine/coil.h"
#include "engine/coil_bytes.h"
#include "engine/coil_pdu_format.h"
#include "frame/coil_log.h"
#include "kypkt.h"
#include "nup.h"

static constexpr const char* coilUnit = "coil_pdu";

namespace {

uint32_t pifPortWord(const pif_t* pif) {
    return (uint32_t(portInstanceSlot(pif->portInstance)) << 16) | portInstancePort(pif->portInstance);
}
uint32_t lifPortWord(const lif_t* lif) {
    return (uint32_t(portInstanceSlot(lif->portInstance)) << 16) | portInstancePort(lif->portInstance);
}

// The port a copy leaves by for a vpif with logical port L; false when none.
// In the port-list walk the listed port itself is used for a plain port.
bool chooseTxPort(const vpif_t* vpif, const char* vlanName, uint32_t listed, bool fromList, uint32_t* tx) {
    lif_t* lif = vpif->lif;
    if (isPortATrunk(lif) || isPortPartOfTrunk(lif)) {
        pif_t* active = vlanLibGetActivePortOnLif(lif);
        if (active == nullptr) {
            COIL_TRACE("DEBUG: %s() No activePif found for vlan:%s %d:%d", "coilSendPdu", vlanName,
                       portInstanceSlot(lif->portInstance), portInstancePort(lif->portInstance));
            return false;
        }
        *tx = pifPortWord(active);
        return true;
    }
    if (lif->pif == nullptr) return false;
    *tx = fromList ? listed : lifPortWord(lif);
    return true;
}

void sendCopy(coilServiceNode* sr, coilPduBuf_t* frame, uint16_t builtChecksum, uint32_t tx) {
    const uint32_t vlanIfInstance = sr->target.vlanIfInstance;
    coilPutBe32(frame->frame + COIL_PDU_OFF_TLV_EGRESS, tx);
    coilPutBe16(frame->frame + COIL_PDU_OFF_NUP_CSUM, nupChecksumIncremental(builtChecksum, 0, tx));
    COIL_TRACE("Transmit by vport %u:(%d:%d) txPort %u\n", vlanIfInstance, tx >> 16, tx & 0xffff, tx);
    coilTransmitPdu(frame, vlanIfInstance, tx, KYPKT_TO_PORT);
    coilGlobal.numPktsSent++;
    sr->serviceStats.txpkts++;
}

}  // namespace

int coilSendPdu(coilServiceNode* sr, coilPduBuf_t* frame) {
    if (!coilIsPrimary()) return 0;
    coilTarget_t& target = sr->target;
    COIL_TRACE("%s target->numPorts %d target->vlanIfInstance %u target->tag %d frame->length %d\n", "coilSendPdu",
               target.numPorts, target.vlanIfInstance, target.extTag, frame->length);
    if (sr->hdr.clientType == COIL_CLIENT_OPERATOR && coilGlobal.coilEnable == 0) return 1;

    vlanIf_t* vlanIf = nullptr;
    if (vlanLibGetVlanIfByInstance(target.vlanIfInstance, &vlanIf) != 1 || vlanIf == nullptr) {
        COIL_TRACE("%s vlanIf NULL", "coilSendPdu");
        return 1;
    }
    const uint16_t builtChecksum = coilGetBe16(frame->frame + COIL_PDU_OFF_NUP_CSUM);

    if (target.numPorts != 0) {
        for (int32_t port = PORTLIST_GETNEXTPORT(&target.ports, -1); port != -1;
             port = PORTLIST_GETNEXTPORT(&target.ports, port)) {
            const uint32_t word = uint32_t(port);
            const uint16_t slot = uint16_t(word >> 16), pnum = uint16_t(word);
            vpif_t* vpif = vlanLibGetVpifByVlanInstanceAndPortInstance(target.vlanIfInstance,
                                                                       (uint32_t(slot & 0xff) << 16) | pnum);
            if (vpif == nullptr) {
                COIL_TRACE("%s Not sending vlan. vpif == NULL", "coilSendPdu");
                continue;
            }
            const char* vlanName = vpif->vlanIf->name;
            // Trace arguments are evaluated only while tracing is on.
            COIL_TRACE("%s Send portList numPorts:%d vlan:%s %d:%d egState:0x%x  inState:0x%x  portLinkUp:%d",
                       "coilSendPdu", target.numPorts, vlanName, slot, pnum, vpif->egState, vpif->inState,
                       vlanLibIsPortLinkUp(word));
            if (!vlanLibVpifUpAndForwarding(vpif)) {
                COIL_TRACE("%s Not sending vlan:%s %d:%d...egState:0x%x  inState:0x%x  portLinkUp:%d", "coilSendPdu",
                           vlanName, slot, pnum, vpif->egState, vpif->inState, vlanLibIsPortLinkUp(word));
                continue;
            }
            uint32_t tx = 0;
            if (!chooseTxPort(vpif, vlanName, word, true, &tx)) continue;
            sendCopy(sr, frame, builtChecksum, tx);
        }
        return 0;
    }

    for (vpif_t* vpif = getFirstVpifOnVlan(vlanIf); vpif != nullptr; vpif = getNextVpifOnVlan(vlanIf, vpif->lif)) {
        lif_t* lif = vpif->lif;
        const char* vlanName = vpif->vlanIf->name;
        if (sr->hdr.clientType != COIL_CLIENT_DAEMON && !vlanLibVpifUpAndForwarding(vpif)) {
            COIL_TRACE("%s Not sending vlan:%s %d:%d...egState:0x%x  inState:0x%x  portLinkUp:%d", "coilSendPdu",
                       vlanName, 0xffff, 0xffff, vpif->egState, vpif->inState, vlanLibIsPortLinkUp(lif->portInstance));
            continue;
        }
        uint32_t tx = 0;
        if (!chooseTxPort(vpif, vlanName, 0, false, &tx)) continue;
        COIL_TRACE("%s() Send portList numPorts:%d vlan:%s %d:%d egState:0x%x  inState:0x%x  portLinkUp:%d "
                   "isTrunk:%d isPartOfTrunk:%d",
                   "coilSendPdu", target.numPorts, vlanName, tx >> 16, tx & 0xffff, vpif->egState, vpif->inState,
                   vlanLibIsPortLinkUp(lif->portInstance), isPortATrunk(lif), isPortPartOfTrunk(lif));
        sendCopy(sr, frame, builtChecksum, tx);
    }
    return 0;
}

int coilTransmitPdu(coilPduBuf_t* frame, uint32_t vlanIfInstance, uint32_t txPort, uint32_t kind) {
    const uint8_t k = uint8_t(kind);
    if (k != KYPKT_TO_VLAN && k != KYPKT_TO_PORT) return 0;
    const int rc = sendKypkt(coilGlobal.gCoilRxTxFd, frame->frame, frame->length, k, 0, vlanIfInstance, 1, &txPort, -1);
    if (rc < 0) {
        COIL_TRACE(k == KYPKT_TO_VLAN ? "VLAN : Failed to sendmsg to netTx (%s)\n"
                                      : "VPIF :Failed to sendmsg to netTx (%s)\n",
                   std::strerror(errno));
        coilGlobal.txPduFailed++;
        return 1;
    }
    return 0;
}
