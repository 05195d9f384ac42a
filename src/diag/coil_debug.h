// Text dumps of the daemon's internal state, on standard output.
#pragma once
#include "engine/coil.h"

void debugDumpGlobal(void);
void debugDumpControlPortList(void);
void debugDumpServiceList(void);
void coilPortControl_dump(const coilPortControl* entry);
void coilService_dump(const coilServiceNode* sr);
void coilTarget_dump(const coilTarget_t* target);
