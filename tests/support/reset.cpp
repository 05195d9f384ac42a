#include "support/reset.h"

#include <cstring>

#include "clients/coil_cmbackend.h"
#include "clients/coil_server.h"
#include "clients/coil_service.h"
#include "engine/coil.h"
#include "frame/coil_log.h"
#include "frame/coil_main.h"
#include "mira/core/cm.h"
#include "mira/core/loop.h"
#include "mira/core/platform.h"

namespace coiltest {

void resetDaemonAndPlatform() {
    mira::captureLog(nullptr);
    // The records go while the platform they point into still stands.
    while (coilServiceNode* sr = coilFirstService()) coilNodeCleanup(sr);
    while (coilPortControl* rec = coilPortControlGetFirst()) coilPortControlDestroy(rec);
    std::memset(&coilGlobal, 0, sizeof coilGlobal);
    std::memset(&coilRecvPdu, 0, sizeof coilRecvPdu);
    g_pNodeId = 0;

    // Start-up flags and handles, as the process starts with them.
    coilDsService = nullptr;
    coilLibGroup1Handle = coilLibGroup2Handle = coilLibGroup3Handle = 0;
    coilGroupLib1Ready = coilGroupLib2Ready = 0;
    coilGroupLib3Pending = 1;
    snmpRegistrationPending = 1;
    coilSnmpRegistrationErr = 0;
    cliSubagentStarted = cmBackendStarted = 0;
    coilServerDsClient = nullptr;
    gCoilServerPort = 0;
    gCoilServerService = nullptr;
    gCoilServerGroup = 0;
    _ems_COIL_ComponentHandle = _ems_COIL_Report_ComponentHandle = _ems_trace_ComponentHandle = nullptr;

    mira::resetCm();
    mira::resetPlatform();
    mira::useVirtualTime();
}

}  // namespace coiltest
