// Creation and removal of services, the operator enable switch and counter
// clearing.
#pragma once
#include <cstdint>

#include "cmbackend.h"
#include "engine/coil.h"

// Bounds on the services of client daemons (clientType 1), so that neither
// one client daemon nor all of them can grow the registry, its listings and
// checkpoints without end: a full chassis (4094 VLANs) watched by three
// client daemons. An operator's own services (clients "1" and "2", at most
// two per VLAN) are not counted.
inline constexpr uint32_t kCoilMaxServicesPerClientDaemon = 4094;
inline constexpr uint32_t kCoilMaxClientServices = 3 * 4094;

int configCoilService(coilServiceNode* request, cmRequest_t* context);
int unConfigCoilService(coilServiceNode* request, cmRequest_t* context);
int createCoilServiceNode(coilServiceNode* request);
uint32_t coilNodeCleanup(coilServiceNode* sr);
int enableCoilClient(uint32_t value);
void clearCoilCounters(void);
