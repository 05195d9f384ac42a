// A service's three timers and the poll they pace: the periodic poll timer,
// the loop-detection wait that closes a one-shot run, and the delayed
// removal of a finished operator run.
#include "clients/coil_service.h"
#include "engine/coil.h"
#include "frame/coil_log.h"

static constexpr const char* coilUnit = "coil_lib";

namespace {

// Builds and sends one PDU; a sent poll counts. A frame that cannot be
// built skips this poll.
void pollOnce(coilServiceNode* sr) {
    coilPduBuf_t frame;
    if (coilBuildPdu(&sr->target, sr->serviceId, &frame) != 0) return;
    if (coilSendPdu(sr, &frame) == 0) sr->serviceStats.pollCount++;
}

void stopTimer(kyTimerHandle_t& handle) {
    if (handle == 0) return;
    kyTimerDelete(handle, &coilGlobal.timerCtx);
    handle = 0;
}

}  // namespace

void startCoilPoll(coilServiceNode* sr) {
    COIL_TRACE("[%s:%u:%s] sr->target.count %d sr->target.timeout %d", sr->hdr.clientId, sr->hdr.vlanIfInstance,
               sr->target.vlan, sr->target.count, sr->target.timeout);
    sr->serviceStats.pollCount = 0;
    sr->serviceStats.detectCount = 0;
    pollOnce(sr);
    coilStartPollTimer(sr);
}

void stopServiceTimers(coilServiceNode* sr) {
    COIL_TRACE("%s:%u:%s\n", sr->hdr.clientId, sr->hdr.vlanIfInstance, sr->target.vlan);
    coilStopPollTimer(sr);
    coilStopLDTimer(sr);
}

void coilStartPollTimer(coilServiceNode* sr) {
    sr->pollTimer = kyTimerCreate(coilPollTimerExpiry, sr, sr->target.timeout, KY_TIMER_PERIODIC, &coilGlobal.timerCtx);
    COIL_TRACE("sr->pollTimer %p sr->ldTimer %p\n", reinterpret_cast<void*>(sr->pollTimer),
               reinterpret_cast<void*>(sr->ldTimer));
}

void coilStartLDTimer(coilServiceNode* sr) {
    sr->ldTimer = kyTimerCreate(coilLDTimerExpiry, sr, sr->target.timeout, KY_TIMER_ONESHOT, &coilGlobal.timerCtx);
}

void startSrCleanupTimer(coilServiceNode* sr) {
    if (sr->cleanupTimer != 0) return;
    sr->cleanupTimer = kyTimerCreate(coilSrCleanupTimerExpiry, sr, 3, KY_TIMER_ONESHOT, &coilGlobal.timerCtx);
}

void coilStopPollTimer(coilServiceNode* sr) { stopTimer(sr->pollTimer); }
void coilStopLDTimer(coilServiceNode* sr) { stopTimer(sr->ldTimer); }
void stopSrCleanupTimer(coilServiceNode* sr) { stopTimer(sr->cleanupTimer); }

void coilPollTimerExpiry(void* arg) {
    auto* sr = static_cast<coilServiceNode*>(arg);
    sr->curState(sr, EV_POLL_TIMER_EXPIRY);
    if (sr->pollAction == COIL_POLL_ACTION_SEND) pollOnce(sr);
    if (sr->pollAction == COIL_POLL_ACTION_CLOSE) {
        coilStopPollTimer(sr);
        coilStartLDTimer(sr);
    }
}

void coilLDTimerExpiry(void* arg) {
    auto* sr = static_cast<coilServiceNode*>(arg);
    coilStopLDTimer(sr);
    sr->curState(sr, EV_LD_TIMER_EXPIRY);
    if (sr->hdr.clientType == COIL_CLIENT_OPERATOR && sr->target.pollType == COIL_POLL_ONESHOT) {
        if (sr->target.action == COIL_ACTION_TEXT || sr->target.action == COIL_ACTION_TEXT_LOG)
            startSrCleanupTimer(sr);
        else
            coilNodeCleanup(sr);
    }
}

void coilSrCleanupTimerExpiry(void* arg) {
    auto* sr = static_cast<coilServiceNode*>(arg);
    stopSrCleanupTimer(sr);
    coilNodeCleanup(sr);
}
