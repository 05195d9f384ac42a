// Checkpoint records exchanged with the backup module: the host-order
// records and their big-endian encoding, field by field.
#pragma once
#include <cstddef>
#include <cstdint>

#include "engine/coil.h"

// Record types and commands.
enum { COIL_CP_TYPE_NONE = 0, COIL_CP_GLOBAL = 1, COIL_CP_SERVICE = 2, COIL_CP_PORT_CONTROL = 3, COIL_CP_END = 4 };
enum { COIL_CP_CMD_UPDATE = 1, COIL_CP_CMD_DELETE = 2 };

// Record lengths, and the size of one bulk message buffer.
enum {
    COIL_CP_HEADER_LEN = 4,
    COIL_CP_GLOBAL_LEN = 20,
    COIL_CP_SERVICE_LEN = 376,
    COIL_CP_PORT_CONTROL_LEN = 84,
    COIL_CP_BULK_BUFFER_SIZE = 8028,
};

// Message kinds handed to writeBackup and to the checkpoint handler.
enum { COIL_CP_KIND_RECV_PDU = 0, COIL_CP_KIND_RECORDS = 1 };

struct coilCpHeader_t {
    uint8_t type;
    uint8_t command;
    uint16_t length;
};

struct coilCpGlobal_t {
    coilCpHeader_t hdr;
    uint32_t numPktsSent;
    uint32_t numPktsRcvd;
    uint32_t txPduFailed;
    uint32_t rxPduFailed;
};
static_assert(sizeof(coilCpGlobal_t) == COIL_CP_GLOBAL_LEN);

struct coilCpService_t {
    coilCpHeader_t hdr;
    coilServiceHeader_t svcHdr;
    coilServiceStats_t serviceStats;
    uint8_t state;
    uint8_t prevState;
    uint8_t reserved[2];
    uint32_t serviceId;
    coilSlotPort_t inPif;
    coilSlotPort_t inLif;
    uint32_t txVlanId;
    uint32_t txPortId;
};
static_assert(sizeof(coilCpService_t) == COIL_CP_SERVICE_LEN);
static_assert(offsetof(coilCpService_t, svcHdr) == 4);
static_assert(offsetof(coilCpService_t, serviceStats) == 60);
static_assert(offsetof(coilCpService_t, state) == 352);
static_assert(offsetof(coilCpService_t, serviceId) == 356);
static_assert(offsetof(coilCpService_t, txPortId) == 372);

struct coilCpPortControl_t {
    coilCpHeader_t hdr;
    coilSlotPort_t inLif;
    coilSlotPort_t inPif;
    uint32_t txVlanId;
    uint32_t txPortId;
    uint32_t id;
    coilServiceHeader_t svcHdr;
    uint32_t timeDisabled;
};
static_assert(sizeof(coilCpPortControl_t) == COIL_CP_PORT_CONTROL_LEN);
static_assert(offsetof(coilCpPortControl_t, svcHdr) == 24);
static_assert(offsetof(coilCpPortControl_t, timeDisabled) == 80);

// Record length by type: 20, 376 or 84; 0 for any other type.
uint32_t coilCpRecordLength(uint8_t type);

// Fill a record from the live service or port control entry (command as given).
void coilCpFillService(coilCpService_t* rec, coilServiceNode* sr, uint8_t command);
void coilCpFillPortControl(coilCpPortControl_t* rec, const coilPortControl* pc, uint8_t command);

// Encoders write exactly the record's length; decoders read exactly that
// many bytes (the caller checks they were received) and terminate texts.
void coilCpEncodeHeader(uint8_t* out, uint8_t type, uint8_t command, uint16_t length);
void coilCpEncodeGlobal(const coilCpGlobal_t* rec, uint8_t* out);
void coilCpDecodeGlobal(const uint8_t* in, coilCpGlobal_t* rec);
void coilCpEncodeService(const coilCpService_t* rec, uint8_t* out);
void coilCpDecodeService(const uint8_t* in, coilCpService_t* rec);
void coilCpEncodePortControl(const coilCpPortControl_t* rec, uint8_t* out);
void coilCpDecodePortControl(const uint8_t* in, coilCpPortControl_t* rec);

// The 116-byte receive record of a kind-0 checkpoint.
enum { COIL_CP_RECV_PDU_LEN = 116 };
void coilCpEncodeRecvPdu(const coilRecvPdu_t* rec, uint8_t* out);
void coilCpDecodeRecvPdu(const uint8_t* in, coilRecvPdu_t* rec);
