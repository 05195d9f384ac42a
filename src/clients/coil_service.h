// Creation and removal of services, the operator enable switch and counter
// clearing.
#pragma once
#include <cstdint>

#include "cmbackend.h"
#include "engine/coil.h"

int configCoilService(coilServiceNode* request, cmRequest_t* context);
int unConfigCoilService(coilServiceNode* request, cmRequest_t* context);
int createCoilServiceNode(coilServiceNode* request);
uint32_t coilNodeCleanup(coilServiceNode* sr);
int enableCoilClient(uint32_t value);
void clearCoilCounters(void);
