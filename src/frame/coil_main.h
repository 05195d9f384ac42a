// Process start-up: the daemon's main sequence, the global initialisation,
// and the library-group chain that brings up later services once.
#pragma once
#include <cstdint>

#include "ipml.h"
#include "lm.h"

extern ipmlHandle_t coilDsService;
extern char libGroup1Array[3][LM_NAME_SIZE];
extern char libGroup2Array[2][LM_NAME_SIZE];
extern char libGroup3Array[1][LM_NAME_SIZE];
extern lmGroupHandle_t coilLibGroup1Handle, coilLibGroup2Handle, coilLibGroup3Handle;
extern uint8_t coilGroupLib1Ready, coilGroupLib2Ready;
extern uint32_t coilGroupLib3Pending;
extern int32_t snmpRegistrationPending;
extern uint32_t coilSnmpRegistrationErr;

// The daemon's main: start-up in dependency order, then the event loop.
// Returns 0 when the loop returns; exits with -1 on a fatal start-up error.
int coil_main(void);
int coilInit(void);
int coilProcessTimers(void* a, void* b);
int coilVokCallback(void* context, uint32_t code, void* info);
void coilLibGroup1Callback(void* context, int code, lmGroupHandle_t group);
void coilLibGroup2Callback(void* context, int code, lmGroupHandle_t group);
void coilLibGroup3Callback(void* context, int code, lmGroupHandle_t group);
int coilLibGroup2Start(void);
void coilLibGroup3Start(void);
void coilLibGroupSnmpStart(int a, int b);
// Ready means state 6 or more.
bool coilProcessReady(const char* name);
