// The 1172-byte client message on the wire: big-endian, field by field.
#pragma once
#include <cstddef>
#include <cstdint>

#include "clients/coil_server.h"

// Writes exactly COIL_CLIENT_MSG_SIZE bytes.
void coilClientMsgEncode(const coilClientMsg* msg, uint8_t* out);
// Reads what was received (at most COIL_CLIENT_MSG_SIZE bytes; bytes not
// received read as zero); texts come out terminated.
void coilClientMsgDecode(const uint8_t* data, size_t length, coilClientMsg* msg);
