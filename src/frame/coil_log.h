// The daemon's logging: its two event-log components with their condition
// tables, the wrappers every source unit uses, and the assertion.
#pragma once
#include <cstdarg>
#include <cstdint>

#include "ems.h"

#ifndef FALSE
#define FALSE 0
#define TRUE 1
#endif

// Condition ids: component number << 16 | index in its table.
enum : uint32_t {
    COIL_COND_DSBL_PORT = 0x9c0000,     // "DsblPortLoopDtect"
    COIL_COND_ENBL_PORT = 0x9c0001,     // "EnblPortTimerExp"
    COIL_COND_DEBUG_SUMMARY = 0x9c0002, // "DebugSummary"
    COIL_REPORT_COND_MESSAGE = 0x9d0000,// "Message"
    COIL_TRACE_COND = 0x670000,
    COIL_SYSTEM_COND = 0x7c0000,
};

extern const emsConditionDesc_t _ems_COIL_ConditionDesc[3];
extern const emsConditionDesc_t _ems_COIL_Report_ConditionDesc[1];
extern const emsComponentDesc_t _ems_COIL_ComponentDesc;
extern const emsComponentDesc_t _ems_COIL_Report_ComponentDesc;
extern emsComponentHandle_t* _ems_COIL_ComponentHandle;
extern emsComponentHandle_t* _ems_COIL_Report_ComponentHandle;

// The gate every raise runs: false when the handle is null or the index is
// out of range (nothing counted); otherwise counts the raise and tells
// whether the condition's enable bit is set.
bool coilEmsGate(emsComponentHandle_t* handle, uint32_t conditionId);

void coilTraceLog(const char* file, int line, const char* func, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void coilDebugLog(const char* file, int line, const char* func, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void coilSystemLog(const char* v1, const char* v2, const char* v3, int v4, const char* v5, const char* file, int line,
                   const char* func, const char* format, ...);

// The gate of a trace or debug raise, then the incident without a second
// gate: the macros below evaluate their arguments only for an enabled
// condition, so tracing costs nothing while it is off.
bool coilTraceGate(void);
bool coilDebugGate(void);
void coilTraceEmit(const char* file, int line, const char* func, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void coilDebugEmit(const char* file, int line, const char* func, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

[[noreturn]] void coilAssertFail(const char* expr, const char* file, int line, const char* func);

// Each source file defines `coilUnit`, its unit's name ("coil_state", ...),
// which the log lines carry.
#define COIL_TRACE(...) \
    do { \
        if (coilTraceGate()) coilTraceEmit(coilUnit, __LINE__, __func__, __VA_ARGS__); \
    } while (0)
#define COIL_DEBUG(...) \
    do { \
        if (coilDebugGate()) coilDebugEmit(coilUnit, __LINE__, __func__, __VA_ARGS__); \
    } while (0)
#define coilAssert(expr) \
    do { \
        if (!(expr)) coilAssertFail(#expr, coilUnit, __LINE__, __func__); \
    } while (0)
