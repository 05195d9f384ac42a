// The service state machine: INIT (idle) and LOOP_DETECTION (polling).
// Every event is delivered by calling the service's curState handler.
#include "clients/coil_service.h"
#include "engine/coil.h"
#include "events/coil_dm.h"
#include "frame/coil_log.h"

static constexpr const char* coilUnit = "coil_state";

namespace {

void enterState(coilServiceNode* sr, uint8_t state, coilStateHandler_t handler) {
    sr->prevState = sr->state;
    sr->state = state;
    sr->curState = handler;
    sr->serviceStats.stateTime = uint32_t(miraTime(nullptr));
    handler(sr, coilIsPrimary() ? EV_ENTRY_PRIMARY : EV_ENTRY_NONPRIMARY);
}

void checkpoint(const char* handler, coilServiceNode* sr, uint32_t event) {
    COIL_DEBUG("%s() Calling coil_dm_Checkpoint_Service() input:%d", handler, event);
    coil_dm_Checkpoint_Service(sr, 1);
}

}  // namespace

const char* coilStateName(uint8_t state) {
    switch (state) {
        case COIL_STATE_INIT: return "INIT";
        case COIL_STATE_LOOP_DETECTION: return "LOOP_DETECTION";
        default: return "INVALID";
    }
}

void setServiceState(coilServiceNode* sr, uint8_t state, coilStateHandler_t handler) { enterState(sr, state, handler); }

void coilStateChangeToInit(coilServiceNode* sr, uint32_t) {
    stopServiceTimers(sr);
    enterState(sr, COIL_STATE_INIT, S_Init);
}

void S_Init(coilServiceNode* sr, uint32_t event) {
    COIL_TRACE("%s:%s called with event %d\n", sr->hdr.clientId, sr->target.vlan, event);
    switch (event) {
        case EV_ENTRY_PRIMARY:
            sr->serviceStats.pollCount = 0;
            sr->serviceStats.detectCount = 0;
            checkpoint("S_Init", sr, event);
            break;
        case EV_ENTRY_NONPRIMARY:
        case EV_DEACTIVATE:
        case EV_SERVICE_DELETE:
            stopSrCleanupTimer(sr);
            break;
        case EV_START:
        case EV_CLIENT_START_POLL:
            enterState(sr, COIL_STATE_LOOP_DETECTION, S_LoopDetection);
            checkpoint("S_Init", sr, event);
            break;
        case EV_CLIENT_DEREGISTER:
            checkpoint("S_Init", sr, event);
            break;
        default:
            break;
    }
}

void S_LoopDetection(coilServiceNode* sr, uint32_t event) {
    COIL_TRACE("%s:%s called with event %d\n", sr->hdr.clientId, sr->target.vlan, event);
    switch (event) {
        case EV_ENTRY_PRIMARY:
            startCoilPoll(sr);
            break;
        case EV_ENTRY_NONPRIMARY:
        case EV_DEACTIVATE:
        case EV_SERVICE_DELETE:
            coilStateChangeToInit(sr, event);
            break;
        case EV_CLIENT_DEREGISTER:
        case EV_CLIENT_STOP_POLL:
            coilStateChangeToInit(sr, event);
            checkpoint("S_LoopDetection", sr, event);
            break;
        case EV_LOOP_DETECTED:
            sr->serviceStats.detectCount++;
            reportCoilStatus(sr, EV_LOOP_DETECTED);
            if (sr->hdr.clientType == COIL_CLIENT_DAEMON ||
                (sr->hdr.clientType == COIL_CLIENT_OPERATOR && sr->target.pollType == COIL_POLL_ONESHOT))
                coilStateChangeToInit(sr, event);
            checkpoint("S_LoopDetection", sr, event);
            break;
        case EV_LD_TIMER_EXPIRY:
            reportCoilStatus(sr, EV_LD_TIMER_EXPIRY);
            coilStateChangeToInit(sr, event);
            checkpoint("S_LoopDetection", sr, event);
            break;
        case EV_POLL_TIMER_EXPIRY:
            sr->pollAction = COIL_POLL_ACTION_SEND;
            if (sr->target.pollType == COIL_POLL_ONESHOT && sr->serviceStats.pollCount >= sr->target.count)
                sr->pollAction = COIL_POLL_ACTION_CLOSE;
            COIL_TRACE("sr->target.count %d sr->serviceStats.pollCount %d pollAction %d pollType %d\n",
                       sr->target.count, sr->serviceStats.pollCount, sr->pollAction, sr->target.pollType);
            break;
        default:
            break;
    }
}
