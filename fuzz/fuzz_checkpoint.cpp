// Checkpoint messages, received by a backup that holds services on two
// VLANs and entries of disabled ports.
//
// Input: byte 0 is the message kind in its low bits (0 a copied receive
// record, 1 records, others unknown); when its bit 0x80 is set the module
// then takes over as the primary and falls back to backup, so the role
// change acts on whatever the message left. The rest is the message.
#include <vector>

#include "events/coil_dm.h"
#include "fuzz_daemon.h"
#include "mira/core/platform.h"

using namespace coilfuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    startDaemon(DM_NODE_STATE_BACKUP);
    if (size < 1) return 0;
    ensureBackupState();
    // The message is handed over in a block of its own size, so a read past
    // its end is caught.
    std::vector<uint8_t> message(data + 1, data + size);
    coil_dm_Checkpoint_CB(nullptr, data[0] & 0x7f, message.empty() ? nullptr : message.data(),
                          uint32_t(message.size()));
    settle();
    if (data[0] & 0x80) {
        mira::setNodeRole(DM_NODE_STATE_PRIMARY);
        settle();
        advanceSeconds(1);
        mira::setNodeRole(DM_NODE_STATE_BACKUP);
        settle();
    }
    return 0;
}
