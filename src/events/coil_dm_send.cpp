// Checkpoints sent to the backup module.
#include "dm.h"
#include "events/coil_dm.h"

namespace {
// Only the primary sends, and only while checkpointing is on.
bool mayCheckpoint() {
    return (dmGetProcessFlags(0) & DM_PROCESS_FLAG_CHECKPOINTING) != 0 && dmConfig.node_state == NM_STATE_PRIMARY;
}
}  // namespace

// The record formats and the bulk copy land with the redundancy work; until
// then a checkpoint is sent by nobody.
int coil_dm_Checkpoint_Service(coilServiceNode* sr, int) {
    if (!mayCheckpoint() || sr == nullptr) return 0;
    return 0;
}

int coil_dm_Checkpoint_PortControl(coilPortControl* rec, int) {
    if (!mayCheckpoint() || rec == nullptr) return 0;
    return 0;
}

void coil_CP_bulk(void) {}
