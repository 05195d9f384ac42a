// The distribution manager's events: process states drive the start-up
// chain; role and checkpointing events switch the services between primary
// and standby duty.
#include "events/coil_dm.h"

#include <cstring>

#include "clients/coil_cmbackend.h"
#include "clients/coil_service.h"
#include "cmbackend.h"
#include "dm.h"
#include "frame/coil_log.h"
#include "frame/coil_main.h"

static constexpr const char* coilUnit = "coil_dm";

int dm_handler(uint32_t event, void* param2) {
    switch (event) {
        case DM_EVENT_IN_SYNC:
            if (dmInSync()) coilLibGroup2Start();
            break;
        case DM_EVENT_PROCESS_STATE: {
            coilAssert(param2 != NULL);  // NOLINT(modernize-use-nullptr): the assertion names "param2 != NULL"
            char name[32];
            coilCopyText(name, sizeof name, static_cast<const dmProcessEvent_t*>(param2)->name);
            if (std::strcmp(name, "cli") == 0 || std::strcmp(name, "cfgmgr") == 0) coilLibGroup2Start();
            if (std::strcmp(name, "vlan") == 0) coilLibGroup3Start();
            if (std::strcmp(name, "snmpSubagent") == 0) coilLibGroupSnmpStart(0, 0);
            break;
        }
        case DM_EVENT_CM_MESSAGE:
            cmBackendSendMessage(23, 0, 0, 0);
            break;
        case DM_EVENT_CLEAR_COUNTERS:
            clearCoilCounters();
            break;
        case DM_EVENT_PRIMARY:
            coilAssert(dmGetNodeState() == DM_NODE_STATE_PRIMARY);
            coilAssert(dmAmIPrimary());
            activateCoilService(TRUE);
            break;
        case DM_EVENT_BACKUP:
            coilAssert(dmGetNodeState() == DM_NODE_STATE_BACKUP);
            coilAssert(dmAmIBackup());
            activateCoilService(FALSE);
            clearCoilCounters();
            break;
        case DM_EVENT_STANDBY:
            coilAssert(dmGetNodeState() == DM_NODE_STATE_STANDBY);
            coilAssert(dmAmIStandby());
            break;
        case DM_EVENT_CHECKPOINT_ON:
            coilAssert(dmIsCheckpointingON());
            coil_CP_bulk();
            break;
        case DM_EVENT_CHECKPOINT_OFF:
            coilAssert(! dmIsCheckpointingON());
            break;
        case DM_EVENT_DEACTIVATE:
            activateCoilService(FALSE);
            clearCoilCounters();
            break;
        default:
            break;
    }
    return 0;
}
