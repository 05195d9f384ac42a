// Process start-up: the daemon announces itself to the platform services,
// initialises its global state and hands its one thread to the dispatcher.
// Services that depend on other processes and libraries come up later, each
// once, through the library-group chain and process-state notifications.
#include "frame/coil_main.h"

#include <mcheck.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "clients/coil_cmbackend.h"
#include "clients/coil_server.h"
#include "dispatch.h"
#include "dm.h"
#include "ds.h"
#include "engine/coil.h"
#include "events/coil_dm.h"
#include "events/coil_vlan.h"
#include "frame/coil_log.h"
#include "miracommon.h"
#include "snmp.h"
#include "vok.h"

static constexpr const char* coilUnit = "coil_main";

ipmlHandle_t coilDsService = nullptr;
char libGroup1Array[3][LM_NAME_SIZE];
char libGroup2Array[2][LM_NAME_SIZE];
char libGroup3Array[1][LM_NAME_SIZE];
lmGroupHandle_t coilLibGroup1Handle = 0, coilLibGroup2Handle = 0, coilLibGroup3Handle = 0;
uint8_t coilGroupLib1Ready = 0, coilGroupLib2Ready = 0;
uint32_t coilGroupLib3Pending = 1;
int32_t snmpRegistrationPending = 1;
uint32_t coilSnmpRegistrationErr = 0;
uint32_t g_pNodeId = 0;

namespace {

void fillNames(char (*slots)[LM_NAME_SIZE], std::initializer_list<const char*> names) {
    int i = 0;
    for (const char* name : names) coilCopyText(slots[i++], LM_NAME_SIZE, name);
}

// Handles the codes every group callback treats alike; true when the code
// says the group is ready.
bool groupReady(int code) {
    switch (code) {
        case LM_GROUP_READY:
            return true;
        case LM_GROUP_FAILED:
            std::puts("Library group can not be started: do something");
            return false;
        case 0:
            std::puts("Oops: should not get here");
            [[fallthrough]];
        default:
            std::puts("Oops: should not get here");
            coilAssert(FALSE);
            return false;
    }
}

}  // namespace

bool coilProcessReady(const char* name) { return dmGetProcessState(name) >= 6; }

int coilProcessTimers(void*, void*) { return kyProcTimer(&coilGlobal.timerCtx); }

int coilInit(void) {
    g_pNodeId = 0;
    std::memset(&coilGlobal, 0, sizeof coilGlobal);
    coilResetServiceCounts();

    getSystemMac(coilGlobal.gSystemMac, 0);
    std::memcpy(coilGlobal.gCoilDa, coilGlobal.gSystemMac, sizeof coilGlobal.gCoilDa);
    coilGlobal.gCoilDa[0] |= 0x01;  // group bit: PDUs go to a multicast address of our own
    const uint8_t* da = coilGlobal.gCoilDa;
    COIL_TRACE("COIL DA : %02x:%02x:%02x:%02x:%02x:%02x\n", da[0], da[1], da[2], da[3], da[4], da[5]);

    coilPktIntfInit();

    const int rc = kyTimerInit(&coilGlobal.timerCtx, 0, 0);
    if (rc != 0) return rc;

    coilGlobal.timerWorkItem =
        dispatchExecuteWorkItem(coilProcessTimers, nullptr, nullptr, dispatchPeriod_t{1, 0}, DISPATCH_REPEAT);
    coilGlobal.disablePortWaitTime = 2;
    return coilGlobal.timerWorkItem != 0 ? 0 : 1;
}

int coilVokCallback(void*, uint32_t code, void* info) {
    if (code != VOK_SHUTDOWN) return 0;
    const uint32_t action = info != nullptr ? static_cast<vokShutdownInfo_t*>(info)->action : 0;
    COIL_TRACE("shutdownInfo->action %d", static_cast<int>(action));
    ipmlClose(coilDsService);
    coilDsService = nullptr;
    return VOK_SHUTDOWN_ACK;
}

void coilLibGroup1Callback(void*, int code, lmGroupHandle_t group) {
    if (!groupReady(code)) return;
    lmCancelGroup(group);
    fillNames(libGroup2Array, {"cliSubagent", "cmBackend"});
    coilGroupLib1Ready++;
    coilLibGroup1Handle = 0;
    coilLibGroup2Handle = lmWatchGroup(libGroup2Array, 2, 3, coilLibGroup2Callback, nullptr, 0);
    coilLibGroup2Start();
}

void coilLibGroup2Callback(void*, int code, lmGroupHandle_t group) {
    if (!groupReady(code)) return;
    lmCancelGroup(group);
    fillNames(libGroup3Array, {"vlanLib"});
    coilGroupLib2Ready++;
    coilLibGroup2Handle = 0;
    coilLibGroup3Handle = lmWatchGroup(libGroup3Array, 1, 3, coilLibGroup3Callback, nullptr, 0);
    coilLibGroup3Start();
}

void coilLibGroup3Callback(void*, int code, lmGroupHandle_t group) {
    if (!groupReady(code)) return;
    lmCancelGroup(group);
    coilLibGroup3Handle = 0;
    dmSetProcessState(0, 8);
    coilLibGroupSnmpStart(0, 0);
    coilFdbInit();
}

int coilLibGroup2Start(void) {
    coilStartCli();
    return 0;
}

void coilLibGroup3Start(void) {
    COIL_TRACE("coilGroupLib2Ready %d\n", coilGroupLib2Ready);
    if (coilGroupLib2Ready == 0 || coilGroupLib3Pending == 0 || !coilProcessReady("vlan")) return;
    coilVlanInit();
    coilServerInit();
    coilGroupLib3Pending--;
}

void coilLibGroupSnmpStart(int, int) {
    if (!coilProcessReady("vlan") || !coilProcessReady("snmpSubagent")) return;
    if (snmpRegistrationPending <= 0) return;
    if (registerWithSnmpSubagent(coilDsService, "libcoilsnmp.so", 0) == 0) {
        snmpRegistrationPending = 0;
        return;
    }
    coilSnmpRegistrationErr++;
    COIL_TRACE("Failed to register with SNMP subagent, SNMP state: %d \n", dmGetProcessState("snmpSubagent"));
}

int coil_main(void) {
    mtrace();
    miraSetProcessName("coil");

    dmInit(0, dm_handler);
    dmSetProcessState(0, 5);

    vokClientSetPid();
    vokClientRegisterCallback(coilVokCallback, nullptr);

    coilDsService = ipmlInitClient(1, 0, 0);
    if (coilDsService == nullptr) {
        std::printf("%s : Can not init DS client service \n", "main");
        std::exit(-1);
    }
    dsClientInit();
    dsRegistration_t registration{};
    dsRegister(coilDsService, miraGetProcessName(), &registration);

    dmSetLoadConfigDependency("cfgmgr", 9);
    dmSetLoadConfigDependency("vlan", 9);
    dmSetLoadConfigDependency("fdb", 9);
    dmSetCheckpointDependency("vlan", 100, 0);

    fillNames(libGroup1Array, {"dslib", "dmlib", "emslib"});
    coilLibGroup1Handle = lmWatchGroup(libGroup1Array, 3, 3, coilLibGroup1Callback, nullptr, 0);
    if (coilLibGroup1Handle == 0) std::puts("COIL START Error: MIRA core library watch group set up failed!");

    if (emsRegisterComponent(2, &_ems_COIL_ComponentDesc, &_ems_COIL_ComponentHandle) != 0) {
        emsUnregisterComponent(&_ems_COIL_ComponentHandle);
        std::exit(-1);
    }
    if (emsRegisterComponent(2, &_ems_COIL_Report_ComponentDesc, &_ems_COIL_Report_ComponentHandle) != 0) {
        emsUnregisterComponent(&_ems_COIL_Report_ComponentHandle);
        std::exit(-1);
    }

    coilInit();

    dispatchThreadDesc_t thread{};
    thread.thread = pthread_self();
    thread.priority = 10;
    thread.pid = getpid();
    coilCopyText(thread.name, sizeof thread.name, "main");
    dispatchInit(miraGetProcessName(), 0, 1, &thread, 1);

    dmConnect();
    dmRegisterCheckpointHandler(coil_dm_Checkpoint_CB);

    dispatchHandler();
    return 0;
}
