// The daemon's two event-log components, their condition tables, the gate
// every raise runs, and the logging wrappers.
#include <cstdio>
#include <cstdlib>

#include "coil_log.h"
#include "miracommon.h"

namespace {
constexpr emsParamDesc_t kText{EMS_PARAM_TEXT, 6, 2};
constexpr emsParamDesc_t kFormat{EMS_PARAM_TEXT, 6, 4};
constexpr emsParamDesc_t kInt11{EMS_PARAM_INT, 1, 1};
constexpr emsParamDesc_t kInt41{EMS_PARAM_INT, 4, 1};
}  // namespace

const emsConditionDesc_t _ems_COIL_ConditionDesc[3] = {
    {"DsblPortLoopDtect", "Disabling port %0%. %1%", 0x04, 2, 0, {kText, kText}},
    {"EnblPortTimerExp", "Enabling port %0%. %1% second duration timer has expired.", 0x08, 2, 0, {kText, kInt11}},
    {"DebugSummary", "%0%", 0x20, 1, 0, {kFormat}},
};

const emsConditionDesc_t _ems_COIL_Report_ConditionDesc[1] = {
    {"Message",
     "[%0%:%1%:%2%] %3% : %4% transmited, %5% received, ingress slot:port (%6%) egress slot:port (%7%)",
     0x04,
     8,
     0,
     {kText, kText, kInt41, kText, kInt41, kInt11, kText, kText}},
};

const emsComponentDesc_t _ems_COIL_ComponentDesc = {
    "COIL", "COIL Basic Log messages", 2, 1, 0x9c, 0x3ff, 0x0800, 3, _ems_COIL_ConditionDesc};
const emsComponentDesc_t _ems_COIL_Report_ComponentDesc = {
    "COIL.Report", "COIL protocol", 4, 1, 0x9c, 0x9d, 0x1000, 1, _ems_COIL_Report_ConditionDesc};

emsComponentHandle_t* _ems_COIL_ComponentHandle = nullptr;
emsComponentHandle_t* _ems_COIL_Report_ComponentHandle = nullptr;

bool coilEmsGate(emsComponentHandle_t* handle, uint32_t conditionId) {
    if (handle == nullptr) return false;
    const uint32_t index = conditionId & 0xffff;
    if (index >= handle->conditionCount) return false;
    handle->counters[index] += 1;
    return (handle->enableBits[index / 8] & (1u << (index % 8))) != 0;
}

bool coilTraceGate(void) {
    if (_ems_trace_ComponentHandle == nullptr)
        emsRegisterComponent(2, &_ems_trace_ComponentDesc, &_ems_trace_ComponentHandle);
    return coilEmsGate(_ems_trace_ComponentHandle, COIL_TRACE_COND);
}

bool coilDebugGate(void) { return coilEmsGate(_ems_COIL_ComponentHandle, COIL_COND_DEBUG_SUMMARY); }

namespace {
void notifyFormat(const char* file, int line, const char* func, emsComponentHandle_t* handle, uint32_t id,
                  const char* format, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    emsNotifyIncident(file, line, func, handle, id, format, &copy);
    va_end(copy);
}
}  // namespace

void coilTraceEmit(const char* file, int line, const char* func, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    notifyFormat(file, line, func, _ems_trace_ComponentHandle, COIL_TRACE_COND, format, ap);
    va_end(ap);
}

void coilDebugEmit(const char* file, int line, const char* func, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    notifyFormat(file, line, func, _ems_COIL_ComponentHandle, COIL_COND_DEBUG_SUMMARY, format, ap);
    va_end(ap);
}

void coilTraceLog(const char* file, int line, const char* func, const char* format, ...) {
    if (!coilTraceGate()) return;
    va_list ap;
    va_start(ap, format);
    notifyFormat(file, line, func, _ems_trace_ComponentHandle, COIL_TRACE_COND, format, ap);
    va_end(ap);
}

void coilDebugLog(const char* file, int line, const char* func, const char* format, ...) {
    if (!coilDebugGate()) return;
    va_list ap;
    va_start(ap, format);
    notifyFormat(file, line, func, _ems_COIL_ComponentHandle, COIL_COND_DEBUG_SUMMARY, format, ap);
    va_end(ap);
}

void coilSystemLog(const char* v1, const char* v2, const char* v3, int v4, const char* v5, const char* file, int line,
                   const char* func, const char* format, ...) {
    if (!coilEmsGate(_ems_System_ComponentHandle, COIL_SYSTEM_COND)) return;
    va_list ap;
    va_start(ap, format);
    emsNotifyIncident(file, line, func, _ems_System_ComponentHandle, COIL_SYSTEM_COND, v1, v2, v3, v4, v5, format,
                      &ap);
    va_end(ap);
}

void coilAssertFail(const char* expr, const char* file, int line, const char* func) {
    // The expression is passed as an argument, not as the format itself, so
    // a '%' in it cannot be taken for a conversion.
    coilSystemLog("ASSERTION FAILURE", miraGetProcessName(), file, line, func, file, line, func, "%s", expr);
    miraAssertCore(1, file, line, func, expr);
    std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line, func, expr);
    std::abort();
}
