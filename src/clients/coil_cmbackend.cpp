// The daemon's side of the configuration manager: bringing up the CLI
// subagent and the backend client, the manager's load events, and starting
// or stopping every service at once.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "clients/coil_cmbackend.h"
#include "clients/coil_service.h"
#include "clisubagent.h"
#include "dm.h"
#include "frame/coil_log.h"
#include "frame/coil_main.h"

static constexpr const char* coilUnit = "coil_cmbackend";

uint8_t cliSubagentStarted = 0;
uint8_t cmBackendStarted = 0;

void coilStartCli(void) {
    if (coilProcessReady("cli") && cliSubagentStarted == 0 && coilGroupLib1Ready != 0) {
        if (cliSubagentInit(miraGetProcessName(), 0) != 0) {
            std::fprintf(stderr, "Error: CLI subagent \"coil\" initialization failed!\n");
            std::exit(-1);
        }
        cliSubagentStarted = 1;
    }
    if (!coilProcessReady("cfgmgr") || cmBackendStarted != 0 || coilGroupLib1Ready == 0) return;
    if (cmBackendInit(miraGetProcessName(), coilCmEventCallback) == 0) {
        std::fprintf(stderr, "Error: CM backend client \"coil\" initialization failed!\n");
        std::exit(-1);
    }
    cmBackendStarted = 1;
}

int coilCmEventCallback(int event) {
    switch (event) {
        case 2:
        case 5:
            coilHandleLoadConfigEvent(event);
            break;
        case 1:
        case 3:
        case 4:
        case 6:
            break;
        default:
            std::printf("Unknown CM event %d\n", event);
            break;
    }
    return 1;
}

int coilHandleLoadConfigEvent(int) {
    dmSetProcessState(0, 9);
    if (coilIsPrimary()) {
        COIL_TRACE("COIL: %s() calling activateCoilService(TRUE)", __func__);
        return activateCoilService(TRUE);
    }
    COIL_TRACE("COIL: %s() calling activateCoilService(FALSE)", __func__);
    return activateCoilService(FALSE);
}

int activateCoilService(int activate) {
    const bool on = activate == TRUE;
    for (coilServiceNode* sr = coilFirstService(); sr != nullptr; sr = coilNextService(sr)) {
        if (on) {
            sr->curState(sr, EV_START);
        } else {
            sr->curState(sr, EV_DEACTIVATE);
            sr->serviceStats.statusFlag = 0;
        }
    }
    if (!on) return 0;

    // Resume the hold time that remains of every timed disable, measured
    // from when the port was disabled.
    for (coilPortControl *rec = coilPortControlGetFirst(), *next = nullptr; rec != nullptr; rec = next) {
        next = coilPortControlGetNext(rec);
        const uint32_t disablePortDuration = rec->sPtr->target.disablePortDuration;
        if (disablePortDuration == 0) continue;
        const long timeDiff =
            long(std::trunc(std::difftime(miraTime(nullptr), time_t(rec->timeDisabled))));
        const long duration = long(disablePortDuration) - timeDiff;
        COIL_DEBUG("%s() duration(%ld) = disablePortDuration(%d) - timeDiff(%ld)", __func__, duration,
                   int(disablePortDuration), timeDiff);
        if (duration > 0) {
            coilStopPortDisableHoldTimer(rec);
            coilStartPortDisableHoldTimer(rec, uint32_t(duration));
        } else {
            COIL_DEBUG("%s() Warning. Calculated duration(%ld) was negative!", __func__, duration);
            coilPortDisableHoldTimerExpiry(rec);
        }
    }
    return 0;
}
