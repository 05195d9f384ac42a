// Dispatcher of the platform: the one event loop of a process. It runs
// repeating and one-shot work items, and calls handlers when registered
// descriptors and servers have input.
#pragma once
#include <cstdint>
#include <pthread.h>
#include <sys/types.h>

// Condition codes passed to file handlers when the descriptor is not readable
// but closed or in error.
enum { DISPATCH_COND_HANGUP = -999, DISPATCH_COND_ERROR = -998 };

enum { DISPATCH_ONCE = 1, DISPATCH_REPEAT = 2 };

typedef uint64_t dispatchHandle_t;

struct dispatchPeriod_t {
    uint32_t sec;
    uint32_t usec;
};

struct dispatchThreadDesc_t {
    pthread_t thread;
    int32_t priority;
    pid_t pid;
    char name[32];
};

typedef int (*dispatchWorkFn_t)(void* arg1, void* arg2);

// Readable-descriptor handler: descriptor, context, two words of the
// dispatcher's, and the condition code (0 when readable).
typedef int (*dispatchFileHandler_t)(int fd, void* context, int a, int b, int cond);

struct dispatchFileReg_t {
    dispatchFileHandler_t handler;
    uint32_t value;
    uint32_t zero1;
    uint32_t zero2;
    char name[32];
};

// Server handler: context, the sending peer, the received packet (a buffer
// of the buffer library, owned by the handler) and a length (> 0: bytes
// received; <= 0: a library event code).
struct bmPacket_t;
typedef int (*dispatchServerHandler_t)(void* context, uint32_t peer, bmPacket_t* packet, int length);

// Server registration record: 176 bytes, the connection's descriptor in the
// first word, the handler at byte 64, its name at byte 84.
struct dispatchServerRec_t {
    int32_t fd;
    uint8_t reserved1[60];
    dispatchServerHandler_t handler;
    uint8_t reserved2[84 - 64 - sizeof(dispatchServerHandler_t)];
    char name[80];
    uint8_t reserved3[176 - 84 - 80];
};
static_assert(sizeof(dispatchServerRec_t) == 176);
static_assert(__builtin_offsetof(dispatchServerRec_t, handler) == 64);
static_assert(__builtin_offsetof(dispatchServerRec_t, name) == 84);

int dispatchInit(const char* processName, int a, int b, dispatchThreadDesc_t* thread, int c);
// Runs the loop; returns when the loop is ended (process shutdown).
int dispatchHandler(void);
// Schedules fn(arg1, arg2) after period; mode 2 repeats it every period.
// Returns a nonzero handle.
dispatchHandle_t dispatchExecuteWorkItem(dispatchWorkFn_t fn, void* arg1, void* arg2, dispatchPeriod_t period,
                                         int mode);
int dispatchAddFile(dispatchFileReg_t* reg, int fd);
int dispatchAddServer(dispatchServerRec_t* rec);
// Removes a server (by its connection's handle) or a work item.
int dispatchRemove(void* handle, int a);
