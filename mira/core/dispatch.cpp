// The dispatcher: the platform's face of the loop. Work items, watched files
// and messaging servers all run from mira::run().
#include "dispatch.h"

#include <cstdint>

#include "bm.h"
#include "mira/core/core_internal.h"
#include "mira/core/loop.h"
#include "miracommon.h"

int dispatchInit(const char* processName, int, int, dispatchThreadDesc_t*, int) {
    if (processName && *processName && !*miraGetProcessName()) miraSetProcessName(processName);
    return 0;
}

int dispatchHandler(void) { return mira::run(); }

dispatchHandle_t dispatchExecuteWorkItem(dispatchWorkFn_t fn, void* arg1, void* arg2, dispatchPeriod_t period,
                                         int mode) {
    if (!fn || (mode != DISPATCH_ONCE && mode != DISPATCH_REPEAT)) return 0;
    int64_t usec = int64_t(period.sec) * 1'000'000 + period.usec;
    return mira::addWorkItem(usec, mode == DISPATCH_REPEAT, [fn, arg1, arg2] { fn(arg1, arg2); });
}

int dispatchAddFile(dispatchFileReg_t* reg, int fd) {
    if (!reg || !reg->handler || fd < 0) return -1;
    dispatchFileHandler_t handler = reg->handler;
    return mira::addFd(fd, [handler, fd](int cond) { handler(fd, nullptr, 0, 0, cond); }) ? 0 : -1;
}

// The server connection's descriptor is readable when the messaging library
// has input for it; servicing it hands each message to the registered
// handler. A hangup or error of the descriptor reaches the handler as the
// library event code -999 with no packet.
int dispatchAddServer(dispatchServerRec_t* rec) {
    if (!rec || !rec->handler || !mira::core::ipmlIsServerFd(rec->fd)) return -1;
    dispatchServerHandler_t handler = rec->handler;
    int fd = rec->fd;
    bool ok = mira::addFd(fd, [handler, fd](int cond) {
        if (cond != 0) {
            handler(nullptr, 0, nullptr, DISPATCH_COND_HANGUP);
            return;
        }
        mira::core::ipmlServerService(
            fd, [handler](uint32_t peer, bmPacket_t* packet, int length) { handler(nullptr, peer, packet, length); });
    });
    return ok ? 0 : -1;
}

// A messaging connection handle removes its server; anything else is taken
// as a work item handle.
int dispatchRemove(void* handle, int) {
    if (!handle) return -1;
    int fd = mira::core::ipmlConnFd(handle);
    if (fd != -2) {
        if (fd >= 0) mira::removeFd(fd);
        return 0;
    }
    return mira::removeWorkItem(reinterpret_cast<uintptr_t>(handle)) ? 0 : -1;
}
