// SNMP client of the platform.
#pragma once
#include <cstdint>
#include "ipml.h"

// 0 on success.
int registerWithSnmpSubagent(ipmlHandle_t conn, const char* module, int a);
int sendSnmpTrapMsg(const char* trapName, const void* record, uint32_t length);
