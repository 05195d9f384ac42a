// The message server for client daemons and the client message.
#pragma once
#include <cstdint>

#include "bm.h"
#include "ds.h"
#include "engine/coil.h"
#include "ipml.h"

// Opcodes of client messages; report msgType values.
enum { COIL_MSG_REGISTER = 1, COIL_MSG_START_POLL = 2, COIL_MSG_STOP_POLL = 3, COIL_MSG_DEREGISTER = 4 };
enum { COIL_REPORT_NO_LOOP = 1, COIL_REPORT_LOOP = 2 };
enum { COIL_CLIENT_MSG_SIZE = 1172 };

// The 1172-byte client message in host form: the service header, then the
// whole target. On the wire it is big-endian (coilClientMsgEncode/Decode).
struct coilClientMsg {
    coilServiceHeader_t hdr;
    coilTarget_t target;
};
static_assert(sizeof(coilClientMsg) == COIL_CLIENT_MSG_SIZE);

extern ipmlHandle_t coilServerDsClient;
extern uint16_t gCoilServerPort;
extern ipmlHandle_t gCoilServerService;
extern ipmlGroup_t gCoilServerGroup;
// A client daemon acts on the services its own connection registered; with
// this set (coild --clients-share-services), on any client daemon's. Never
// on the operator's (client identifiers "1" and "2").
extern bool gCoilClientsShareServices;

int coilServerInit(void* a = nullptr, void* b = nullptr);
void coilServerCallback(void* context, dsRegistration_t* info, int status);
int coilServerIPMLCallback(void* context, int opcode, void* data, int length);
int coilServerReceive(void* context, uint32_t peer, bmPacket_t* packet, int length);
int coilServerProcessMessage(uint32_t peer, bmPacket_t* packet, int length);
int coilServerDeletePeer(uint32_t peer);
int coilServerFindPeer(uint32_t peer);
int coilServerInsertPeer(uint32_t peer);
int coilIpmlSend(const coilClientMsg* message, uint32_t length, uint32_t peerId);
