// Configuration manager backend library of the platform. The library parses
// the manager's requests into object and attribute nodes through the
// application's name table and calls back into the application through the
// seven operations declared at the end, which the application exports.
#pragma once
#include <cstdarg>
#include <cstdint>
#include "vlanlib.h"

// Kinds of name-table entries.
enum { CM_INFO_MODULE = 1, CM_INFO_METHOD = 2, CM_INFO_ATTRIBUTE = 3, CM_INFO_OBJECT = 4 };

// One name-table entry: name, id, kind, type code (objects only).
struct cmInfoEntry_t {
    const char* name;
    uint32_t id;
    uint32_t kind;
    uint32_t type;
};

// A node of a request: an object (with a chain of records) or an attribute
// (with its value text in the record slot).
struct cmObject_t {
    const cmInfoEntry_t* info;
    const cmInfoEntry_t* method;
    void* record;
    cmObject_t* next;
};

// Text buffer written with bufferPutf/bufferPuts.
struct cmBuffer_t {
    char* text;
    uint32_t length;
    uint32_t size;
};

// Request flag bits.
enum : uint32_t {
    CM_FLAG_EXACT = 0x80000000,
    CM_FLAG_NEXT = 0x40000000,
    CM_FLAG_WALK = 0x20000000,
    CM_FLAG_IMPLIED_ROW_STATUS = 0x10000000,
    CM_FLAG_ROW_STATUS_OUTPUT = 0x01000000,
    CM_FLAG_COUNT_MASK = 0x0000ffff,
};

// The library's per-request context.
struct cmRequest_t {
    uint32_t flags;
    int32_t result;
    uint8_t setMark;
    uint8_t configChanged;
    uint8_t actionTaken;
    cmBuffer_t output;
    cmBuffer_t message;
    void* walkSlot;     // one object record held between walk steps
    cmObject_t* reply;  // get handlers attach their record here
};

// The application record: the three name tables the application hands over.
struct cmBackendApp_t {
    const cmInfoEntry_t* objectTable;
    const cmInfoEntry_t* configObjectTable;
    const cmInfoEntry_t* thirdTable;
};

// Row status actions (ACTION_T).
enum { CM_ROW_ACTIVE = 1, CM_ROW_NOT_IN_SERVICE = 2, CM_ROW_CREATE_AND_GO = 3, CM_ROW_DESTROY = 4 };
typedef uint32_t ACTION_T;
typedef uint32_t BOOLEAN_T;

// Formatted output: printf conversions plus %b (32-bit boolean), %M (port
// mask value) and %P (pointer to a port list).
int bufferPutf(cmBuffer_t* buffer, const char* format, ...) __attribute__((format(printf, 2, 3)));
int bufferPuts(cmBuffer_t* buffer, const char* text);
void bufferReset(cmBuffer_t* buffer);

// Conversions from request text; nonzero on success.
int STRING_TO_INT(const char* text, int32_t* out);
int STRING_TO_UINT16(const char* text, uint16_t* out);
int STRING_TO_UINT32(const char* text, uint32_t* out);
int STRING_TO_BOOLEAN(const char* text, BOOLEAN_T* out);
int STRING_TO_ACTION(const char* text, ACTION_T* out);
int STRING_TO_PORTLIST(const char* text, PORTLIST_T* out);
int STRING_TO_PORTMASK(const char* text, PORTMASK_T* out);

typedef int (*cmEventCallback_t)(int event);

// Connects the application to the manager; nonzero on success.
int cmBackendInit(const char* processName, cmEventCallback_t cb);
int cmBackendSendMessage(int code, int a, int b, int c);

cmObject_t* cmObject_t_alloc(void);
void cmObject_t_free(cmObject_t* node);

// Exported by the application, called by the library.
int cmBackendApplicationInit(cmBackendApp_t* app);
void cmBackendApplicationTerminate(cmBackendApp_t* app);
cmObject_t* cmObjectAlloc(const cmInfoEntry_t* info);
// Flag bits of cmObjectFree: free the node's records, free the node itself.
enum : uint32_t { CM_FREE_RECORDS = 0x2, CM_FREE_NODE = 0x1 };
void cmObjectFree(cmObject_t* node, uint32_t flags);
int cmObjectSetData(cmObject_t* object, cmObject_t* attribute);
int cmBackendAction(cmRequest_t* request, cmObject_t* node);
int cmBackendConvert(cmRequest_t* request, cmObject_t* first);
