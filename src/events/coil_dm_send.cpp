// Checkpoints sent to the backup module: one update per change, and a bulk
// copy of every service and port control entry when checkpointing starts.
#include <cstdlib>
#include <cstring>

#include "dm.h"
#include "events/coil_dm.h"
#include "events/coil_dm_cp.h"
#include "events/coil_dm_records.h"

namespace {

// Only the primary sends, and only while checkpointing is on.
bool mayCheckpoint() {
    return (dmGetProcessFlags(0) & DM_PROCESS_FLAG_CHECKPOINTING) != 0 && dmConfig.node_state == NM_STATE_PRIMARY;
}

void encodeService(coilServiceNode* sr, uint8_t* out) {
    coilCpService_t rec;
    coilCpFillService(&rec, sr, COIL_CP_CMD_UPDATE);
    coilCpEncodeService(&rec, out);
}

void encodePortControl(const coilPortControl* pc, uint8_t command, uint8_t* out) {
    coilCpPortControl_t rec;
    coilCpFillPortControl(&rec, pc, command);
    coilCpEncodePortControl(&rec, out);
}

// Packs records back to back into one buffer; a record that would not fit
// sends what the buffer holds first.
class BulkPacker {
  public:
    BulkPacker() : buf_(static_cast<uint8_t*>(std::malloc(COIL_CP_BULK_BUFFER_SIZE))) {}
    ~BulkPacker() {
        if (used_ > 0) flush();
        std::free(buf_);
    }
    BulkPacker(const BulkPacker&) = delete;
    BulkPacker& operator=(const BulkPacker&) = delete;

    bool ok() const { return buf_ != nullptr; }
    // Room for a record of this length, sending the buffer when it is full.
    uint8_t* reserve(uint32_t length) {
        if (used_ + length > COIL_CP_BULK_BUFFER_SIZE) flush();
        uint8_t* at = buf_ + used_;
        used_ += length;
        return at;
    }

  private:
    void flush() {
        writeBackup(COIL_CP_KIND_RECORDS, buf_, used_, 0);
        used_ = 0;
    }
    uint8_t* buf_;
    uint32_t used_ = 0;
};

}  // namespace

void coil_dm_BulkCheckpoint_Service(void) {
    if (!mayCheckpoint()) return;
    BulkPacker packer;
    if (!packer.ok()) return;
    for (coilServiceNode* sr = coilFirstService(); sr != nullptr; sr = coilNextService(sr))
        encodeService(sr, packer.reserve(COIL_CP_SERVICE_LEN));
}

void coil_dm_BulkCheckpoint_PortControl(void) {
    if (!mayCheckpoint()) return;
    BulkPacker packer;
    if (!packer.ok()) return;
    for (coilPortControl* pc = coilPortControlGetFirst(); pc != nullptr; pc = coilPortControlGetNext(pc))
        encodePortControl(pc, COIL_CP_CMD_UPDATE, packer.reserve(COIL_CP_PORT_CONTROL_LEN));
}

// A service update: the record, always with command 1, then an end record
// as long as the record.
int coil_dm_Checkpoint_Service(coilServiceNode* sr, int) {
    if (!mayCheckpoint() || sr == nullptr) return 0;
    uint8_t msg[2 * COIL_CP_SERVICE_LEN] = {};
    encodeService(sr, msg);
    coilCpEncodeHeader(msg + COIL_CP_SERVICE_LEN, COIL_CP_END, 0, COIL_CP_SERVICE_LEN);
    writeBackup(COIL_CP_KIND_RECORDS, msg, sizeof msg, 0);
    return 0;
}

// A port control update with the caller's command, then an end record.
int coil_dm_Checkpoint_PortControl(coilPortControl* rec, int command) {
    if (!mayCheckpoint() || rec == nullptr) return 0;
    uint8_t msg[2 * COIL_CP_PORT_CONTROL_LEN] = {};
    encodePortControl(rec, uint8_t(command), msg);
    coilCpEncodeHeader(msg + COIL_CP_PORT_CONTROL_LEN, COIL_CP_END, 0, COIL_CP_PORT_CONTROL_LEN);
    writeBackup(COIL_CP_KIND_RECORDS, msg, sizeof msg, 0);
    return 0;
}

void coil_CP_bulk(void) {
    coil_dm_BulkCheckpoint_Service();
    coil_dm_BulkCheckpoint_PortControl();
}
