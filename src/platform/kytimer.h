// Timer service of the platform. All timers of a process live in one context
// record; kyProcTimer, run once a second, fires those that are due, so
// durations are whole seconds.
#pragma once
#include <cstdint>

// Handle of one timer; 0 is never a live timer.
typedef uint64_t kyTimerHandle_t;

enum { KY_TIMER_ONESHOT = 1, KY_TIMER_PERIODIC = 2 };

typedef void (*kyTimerFn_t)(void* arg);

// The context record embedded in the client's state. Its inside is the
// library's; the client only passes its address.
struct kyTimerCtx_t {
    void* impl;
    uint64_t ticks;
};

int kyTimerInit(kyTimerCtx_t* ctx, int a, int b);
kyTimerHandle_t kyTimerCreate(kyTimerFn_t fn, void* arg, uint32_t seconds, int kind, kyTimerCtx_t* ctx);
int kyTimerDelete(kyTimerHandle_t handle, kyTimerCtx_t* ctx);
int kyProcTimer(kyTimerCtx_t* ctx);
