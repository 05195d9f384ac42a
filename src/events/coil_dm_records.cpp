// Encoding and decoding of the checkpoint records. One walk over the fields
// of each record serves both directions, so the two cannot drift apart.
#include "events/coil_dm_records.h"

#include <cstring>

#include "engine/coil_bytes.h"

namespace {

using Writer = coilBeWriter;
using Reader = coilBeReader;

template <typename IO, typename H>
void walkHeader(IO& io, H& h) {
    io.u8(h.type);
    io.u8(h.command);
    io.u16(h.length);
}

template <typename IO, typename P>
void walkSlotPort(IO& io, P& sp) {
    io.u16(sp.slot);
    io.u16(sp.port);
}

template <typename IO, typename S>
void walkServiceHeader(IO& io, S& h) {
    io.bytes(h.clientId, sizeof h.clientId);
    io.u32(h.vlanIfInstance);
    io.u8(h.clientType);
    io.bytes(h.reserved, sizeof h.reserved);
    io.u32(h.msgType);
    io.u32(h.vr);
    io.u32(h.seq);
    io.u32(h.statusFlag);
}

template <typename IO, typename S>
void walkStats(IO& io, S& s) {
    io.u32(s.txpkts);
    io.u32(s.rxpkts);
    io.bytes(s.reserved1, sizeof s.reserved1);
    io.u32(s.stateTime);
    io.bytes(s.reserved2, sizeof s.reserved2);
    io.u32(s.pollCount);
    io.u32(s.detectCount);
    io.u32(s.statusFlag);
    io.bytes(s.statusString, sizeof s.statusString);
}

template <typename IO, typename R>
void walkGlobal(IO& io, R& r) {
    walkHeader(io, r.hdr);
    io.u32(r.numPktsSent);
    io.u32(r.numPktsRcvd);
    io.u32(r.txPduFailed);
    io.u32(r.rxPduFailed);
}

template <typename IO, typename R>
void walkService(IO& io, R& r) {
    walkHeader(io, r.hdr);
    walkServiceHeader(io, r.svcHdr);
    walkStats(io, r.serviceStats);
    io.u8(r.state);
    io.u8(r.prevState);
    io.bytes(r.reserved, sizeof r.reserved);
    io.u32(r.serviceId);
    walkSlotPort(io, r.inPif);
    walkSlotPort(io, r.inLif);
    io.u32(r.txVlanId);
    io.u32(r.txPortId);
}

template <typename IO, typename R>
void walkPortControl(IO& io, R& r) {
    walkHeader(io, r.hdr);
    walkSlotPort(io, r.inLif);
    walkSlotPort(io, r.inPif);
    io.u32(r.txVlanId);
    io.u32(r.txPortId);
    io.u32(r.id);
    walkServiceHeader(io, r.svcHdr);
    io.u32(r.timeDisabled);
}

template <typename IO, typename R>
void walkRecvPdu(IO& io, R& r) {
    io.bytes(r.vlanName, sizeof r.vlanName);
    io.u32(r.vlanIfInstance);
    io.u32(r.rxInfo);
    walkSlotPort(io, r.inPif);
    walkSlotPort(io, r.inLif);
    io.i32(r.rxLength);
    io.bytes(r.frame, sizeof r.frame);
}

template <typename T>
void terminate(T& text) {
    text[sizeof text - 1] = '\0';
}

}  // namespace

uint32_t coilCpRecordLength(uint8_t type) {
    switch (type) {
        case COIL_CP_GLOBAL: return COIL_CP_GLOBAL_LEN;
        case COIL_CP_SERVICE: return COIL_CP_SERVICE_LEN;
        case COIL_CP_PORT_CONTROL: return COIL_CP_PORT_CONTROL_LEN;
        default: return 0;
    }
}

void coilCpFillService(coilCpService_t* rec, coilServiceNode* sr, uint8_t command) {
    std::memset(rec, 0, sizeof *rec);
    coilStatusText(sr);
    rec->hdr = {COIL_CP_SERVICE, command, COIL_CP_SERVICE_LEN};
    rec->svcHdr = sr->hdr;
    rec->serviceStats = sr->serviceStats;
    rec->state = sr->state;
    rec->prevState = sr->prevState;
    rec->serviceId = sr->serviceId;
    rec->inPif = sr->target.inPif;
    rec->inLif = sr->target.inLif;
    rec->txVlanId = sr->target.txVlanId;
    rec->txPortId = sr->target.txPortId;
}

void coilCpFillPortControl(coilCpPortControl_t* rec, const coilPortControl* pc, uint8_t command) {
    std::memset(rec, 0, sizeof *rec);
    rec->hdr = {COIL_CP_PORT_CONTROL, command, COIL_CP_PORT_CONTROL_LEN};
    rec->inLif = pc->inLif;
    rec->inPif = pc->inPif;
    rec->txVlanId = pc->txVlanId;
    rec->txPortId = pc->txPortId;
    rec->id = pc->id;
    if (pc->sPtr != nullptr) rec->svcHdr = pc->sPtr->hdr;
    rec->timeDisabled = pc->timeDisabled;
}

void coilCpEncodeHeader(uint8_t* out, uint8_t type, uint8_t command, uint16_t length) {
    coilCpHeader_t h{type, command, length};
    Writer w{out};
    walkHeader(w, h);
}

void coilCpEncodeGlobal(const coilCpGlobal_t* rec, uint8_t* out) {
    Writer w{out};
    walkGlobal(w, *rec);
}

void coilCpDecodeGlobal(const uint8_t* in, coilCpGlobal_t* rec) {
    Reader r{in};
    walkGlobal(r, *rec);
}

void coilCpEncodeService(const coilCpService_t* rec, uint8_t* out) {
    Writer w{out};
    walkService(w, *rec);
}

void coilCpDecodeService(const uint8_t* in, coilCpService_t* rec) {
    Reader r{in};
    walkService(r, *rec);
    terminate(rec->svcHdr.clientId);
    terminate(rec->serviceStats.statusString);
}

void coilCpEncodePortControl(const coilCpPortControl_t* rec, uint8_t* out) {
    Writer w{out};
    walkPortControl(w, *rec);
}

void coilCpDecodePortControl(const uint8_t* in, coilCpPortControl_t* rec) {
    Reader r{in};
    walkPortControl(r, *rec);
    terminate(rec->svcHdr.clientId);
}

void coilCpEncodeRecvPdu(const coilRecvPdu_t* rec, uint8_t* out) {
    Writer w{out};
    walkRecvPdu(w, *rec);
}

void coilCpDecodeRecvPdu(const uint8_t* in, coilRecvPdu_t* rec) {
    Reader r{in};
    walkRecvPdu(r, *rec);
    terminate(rec->vlanName);
}
