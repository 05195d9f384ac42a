// Process-manager client of the platform.
#pragma once
#include <cstdint>

// Code of the shutdown notification; its info record starts with the action.
enum : uint32_t { VOK_SHUTDOWN = 0x20011231 };
// A callback's answer to the shutdown notification.
enum { VOK_SHUTDOWN_ACK = -211 };

struct vokShutdownInfo_t {
    uint32_t action;
};

typedef int (*vokCallback_t)(void* context, uint32_t code, void* info);

int vokClientSetPid(void);
int vokClientRegisterCallback(vokCallback_t cb, void* context);
