// The configuration manager handlers and the start of the CLI subagent and
// backend client.
#pragma once
#include <cstdint>

#include "cmbackend.h"

extern uint8_t cliSubagentStarted;
extern uint8_t cmBackendStarted;

void coilStartCli(void);
int coilCmEventCallback(int event);
int coilHandleLoadConfigEvent(int event);
int activateCoilService(int activate);
