// Distribution manager of the platform: this module's redundancy role, the
// states of peer processes, process flags, checkpointing to the backup
// module, and events delivered to the registered handler.
#pragma once
#include <cstdint>

enum {
    DM_NODE_STATE_STANDBY = 4,
    DM_NODE_STATE_BACKUP = 5,
    DM_NODE_STATE_PRIMARY = 6,
    NM_STATE_BACKUP = 5,
    NM_STATE_PRIMARY = 6,
};

// Process flag bit: checkpointing to the backup is on.
enum { DM_PROCESS_FLAG_CHECKPOINTING = 0x00000002 };

// Events delivered to the handler given to dmInit.
enum {
    DM_EVENT_IN_SYNC = 9,
    DM_EVENT_PROCESS_STATE = 0x40,   // param2: record with the process name at byte 8
    DM_EVENT_CM_MESSAGE = 0x41,
    DM_EVENT_CLEAR_COUNTERS = 0x44,
    DM_EVENT_PRIMARY = 0x201,
    DM_EVENT_BACKUP = 0x202,
    DM_EVENT_STANDBY = 0x203,
    DM_EVENT_CHECKPOINT_ON = 0x210,
    DM_EVENT_CHECKPOINT_OFF = 0x211,
    DM_EVENT_DEACTIVATE = 0x212,
};

// A process state notification's record: the process name at byte 8.
struct dmProcessEvent_t {
    uint32_t word0;
    uint32_t state;
    char name[32];
};

// The module's configuration as the manager keeps it.
struct dmConfig_t {
    uint32_t node_state;  // 4 standby, 5 backup, 6 primary
    uint32_t slotCount;   // slots of the chassis
    uint32_t slotFirst;   // number of the first slot
};
extern dmConfig_t dmConfig;

typedef int (*dmHandler_t)(uint32_t event, void* param2);
typedef int (*dmCheckpointHandler_t)(void* first, uint32_t kind, void* message, uint32_t length);

int dmInit(int a, dmHandler_t handler);
int dmSetProcessState(int a, int state);
// State of a peer process by name; 6 or more means ready.
int dmGetProcessState(const char* name);
int dmSetLoadConfigDependency(const char* process, int level);
int dmSetCheckpointDependency(const char* process, int level, int a);
int dmConnect(void);
int dmRegisterCheckpointHandler(dmCheckpointHandler_t handler);
int dmInSync(void);
uint32_t dmGetProcessFlags(int a);
uint32_t dmGetNodeState(void);
int dmAmIPrimary(void);
int dmAmIBackup(void);
int dmAmIStandby(void);
int dmIsCheckpointingON(void);
uint32_t dmGetSlotFirst(void);
// Sends one checkpoint message to the backup's checkpoint handler, whole.
int writeBackup(int kind, const void* message, uint32_t length, int a);
