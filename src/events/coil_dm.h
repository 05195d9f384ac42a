// Redundancy: the distribution manager's events, checkpoints sent to the
// backup module and checkpoints received from the primary.
#pragma once
#include <cstdint>

#include "engine/coil.h"

int dm_handler(uint32_t event, void* param2);
int coil_dm_Checkpoint_CB(void* first, uint32_t kind, void* message, uint32_t length);
int coil_dm_Checkpoint_Service(coilServiceNode* sr, int command);
int coil_dm_Checkpoint_PortControl(coilPortControl* rec, int command);
void coil_CP_bulk(void);
