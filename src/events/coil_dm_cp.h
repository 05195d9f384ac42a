// The checkpoint unit's own operations beyond the entry points of
// events/coil_dm.h: the two bulk senders and the record parsers.
#pragma once
#include <cstdint>

void coil_dm_BulkCheckpoint_Service(void);
void coil_dm_BulkCheckpoint_PortControl(void);

// Walks the records of one kind-1 message of `length` bytes; never reads past
// it, and stops at a record that the message does not hold whole.
void coil_parse_CP_data(const uint8_t* message, uint32_t length);
// Each applies one whole record and returns its length (20, 376 or 84).
uint32_t coil_parse_cp_global(const uint8_t* record);
uint32_t coil_parse_cp_service(const uint8_t* record);
uint32_t coil_parse_cp_portcontrol(const uint8_t* record);
