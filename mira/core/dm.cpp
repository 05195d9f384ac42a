// Distribution manager: node role, peer process states, process flags and
// checkpoint delivery. Every event reaches the registered handler through
// the loop, after the call that caused it has returned.
#include "dm.h"

#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "mira/core/core_internal.h"
#include "mira/core/loop.h"
#include "mira/core/platform.h"

dmConfig_t dmConfig = {DM_NODE_STATE_PRIMARY, 1, 1};

namespace {

struct Dm {
    dmHandler_t handler = nullptr;
    dmCheckpointHandler_t checkpointHandler = nullptr;
    int ownState = 0;
    uint32_t processFlags = 0;
    bool inSync = true;
    std::map<std::string, int> processStates;
    std::map<std::string, int> loadDependencies;
    std::map<std::string, int> checkpointDependencies;
    mira::BackupSink backupSink;
};

Dm& dm() {
    static Dm instance;
    return instance;
}

// Calls the handler (as registered when the event is delivered).
void deliver(uint32_t event, void* data) {
    if (dm().handler) dm().handler(event, data);
}

}  // namespace

int dmInit(int, dmHandler_t handler) {
    dm().handler = handler;
    return 0;
}

int dmSetProcessState(int, int state) {
    dm().ownState = state;
    return 0;
}

int dmGetProcessState(const char* name) {
    if (!name) return 0;
    auto it = dm().processStates.find(name);
    return it == dm().processStates.end() ? 0 : it->second;
}

int dmSetLoadConfigDependency(const char* process, int level) {
    if (!process) return -1;
    dm().loadDependencies[process] = level;
    return 0;
}

int dmSetCheckpointDependency(const char* process, int level, int) {
    if (!process) return -1;
    dm().checkpointDependencies[process] = level;
    return 0;
}

int dmConnect(void) { return 0; }

int dmRegisterCheckpointHandler(dmCheckpointHandler_t handler) {
    dm().checkpointHandler = handler;
    return 0;
}

int dmInSync(void) { return dm().inSync ? 1 : 0; }
uint32_t dmGetProcessFlags(int) { return dm().processFlags; }
uint32_t dmGetNodeState(void) { return dmConfig.node_state; }
int dmAmIPrimary(void) { return dmConfig.node_state == DM_NODE_STATE_PRIMARY; }
int dmAmIBackup(void) { return dmConfig.node_state == DM_NODE_STATE_BACKUP; }
int dmAmIStandby(void) { return dmConfig.node_state == DM_NODE_STATE_STANDBY; }
int dmIsCheckpointingON(void) { return (dm().processFlags & DM_PROCESS_FLAG_CHECKPOINTING) ? 1 : 0; }
uint32_t dmGetSlotFirst(void) { return dmConfig.slotFirst; }

int writeBackup(int kind, const void* message, uint32_t length, int) {
    if (!message && length > 0) return -1;
    if (dm().backupSink) dm().backupSink(kind, std::span<const uint8_t>(static_cast<const uint8_t*>(message), length));
    return 0;
}

namespace mira {

void setProcessState(const std::string& name, int state) {
    dm().processStates[name] = state;
    auto record = std::make_shared<dmProcessEvent_t>();
    record->state = uint32_t(state);
    std::strncpy(record->name, name.c_str(), sizeof record->name - 1);
    post([record] { deliver(DM_EVENT_PROCESS_STATE, record.get()); });
}

int ownProcessState() { return dm().ownState; }

void setNodeRole(uint32_t nodeState) {
    post([nodeState] {
        dmConfig.node_state = nodeState;
        switch (nodeState) {
            case DM_NODE_STATE_PRIMARY: deliver(DM_EVENT_PRIMARY, nullptr); break;
            case DM_NODE_STATE_BACKUP: deliver(DM_EVENT_BACKUP, nullptr); break;
            case DM_NODE_STATE_STANDBY: deliver(DM_EVENT_STANDBY, nullptr); break;
            default: break;
        }
    });
}

void setCheckpointing(bool on) {
    post([on] {
        if (on)
            dm().processFlags |= DM_PROCESS_FLAG_CHECKPOINTING;
        else
            dm().processFlags &= ~uint32_t(DM_PROCESS_FLAG_CHECKPOINTING);
        deliver(on ? DM_EVENT_CHECKPOINT_ON : DM_EVENT_CHECKPOINT_OFF, nullptr);
    });
}

void raiseDmEvent(uint32_t code, std::vector<uint8_t> data) {
    auto record = std::make_shared<std::vector<uint8_t>>(std::move(data));
    post([code, record] { deliver(code, record->empty() ? nullptr : record->data()); });
}

void setDmInSync(bool inSync) { dm().inSync = inSync; }

void deliverCheckpoint(uint32_t kind, std::vector<uint8_t> message) {
    auto record = std::make_shared<std::vector<uint8_t>>(std::move(message));
    post([kind, record] {
        if (dm().checkpointHandler)
            dm().checkpointHandler(nullptr, kind, record->data(), uint32_t(record->size()));
    });
}

void setBackupSink(BackupSink sink) { dm().backupSink = std::move(sink); }

namespace core {
void resetDm() {
    dm() = Dm{};
    dmConfig = {DM_NODE_STATE_PRIMARY, 1, 1};
}
}  // namespace core
}  // namespace mira
