// Directory service of the platform: names to messaging ports.
#pragma once
#include <cstdint>
#include "ipml.h"

// Registration record; the assigned port is at byte 8.
struct dsRegistration_t {
    uint32_t word0;
    uint32_t word1;
    uint16_t port;
    uint16_t reserved;
    char name[32];
};
static_assert(__builtin_offsetof(dsRegistration_t, port) == 8);

typedef void (*dsCallback_t)(void* context, dsRegistration_t* info, int status);

int dsClientInit(void);
int dsRegister(ipmlHandle_t conn, const char* name, dsRegistration_t* out);
// Non-blocking registration: 0 when the request is accepted; cb reports the
// result later through the dispatcher.
int dsNBRegister(ipmlHandle_t conn, const char* name, dsCallback_t cb, const void* context);
