// Event management system of the platform: log components with their
// condition tables, a gate per condition, and incidents.
#pragma once
#include <cstdarg>
#include <cstdint>

// One parameter slot of a condition: a type code and two attribute bytes.
struct emsParamDesc_t {
    uint16_t type;
    uint8_t attr1;
    uint8_t attr2;
};

enum {
    EMS_PARAM_INT = 2,   // integer
    EMS_PARAM_TEXT = 5,  // attributes 6, 2: text; 6, 4: printf format + va_list*
};

struct emsConditionDesc_t {
    const char* name;
    const char* format;  // %n% names parameter n
    uint8_t severity;
    uint8_t paramCount;
    uint16_t zero;
    emsParamDesc_t params[10];
};

struct emsComponentDesc_t {
    const char* name;
    const char* title;
    uint16_t word1;
    uint16_t word2;
    uint16_t family;
    uint16_t own;
    uint16_t word3;
    uint16_t conditionCount;
    const emsConditionDesc_t* conditions;
};

// A registered component: its descriptor, one occurrence counter per
// condition and an enable bitmap (bit 1 << i of byte i / 8 for condition i).
struct emsComponentHandle_t {
    const emsComponentDesc_t* desc;
    uint16_t conditionCount;
    uint32_t* counters;
    uint8_t* enableBits;
};

// Severity bits of the conditions.
enum {
    EMS_SEV_CRITICAL = 0x01, EMS_SEV_ERROR = 0x02, EMS_SEV_WARNING = 0x04,
    EMS_SEV_INFO = 0x08, EMS_SEV_NOTICE = 0x10, EMS_SEV_DEBUG = 0x20, EMS_SEV_TRACE = 0x40,
};

int emsRegisterComponent(int version, const emsComponentDesc_t* desc, emsComponentHandle_t** handle);
int emsUnregisterComponent(emsComponentHandle_t** handle);

// Raises one incident. The parameters follow in the condition table's order:
// a text is a const char*, an integer an int, a format parameter two
// arguments: the format and a va_list*.
int emsNotifyIncident(const char* file, int line, const char* func, emsComponentHandle_t* handle,
                      uint32_t conditionId, ...);

// Platform components the daemon raises conditions of.
extern const emsComponentDesc_t _ems_trace_ComponentDesc;
extern emsComponentHandle_t* _ems_trace_ComponentHandle;   // registered lazily by the client
extern emsComponentHandle_t* _ems_System_ComponentHandle;  // registered by the platform
