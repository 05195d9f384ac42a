// The bulk checkpoint of a full chassis: 12,282 services and 4,096 port
// control entries packed into messages for the backup. Includes the walk,
// each record's encoding and the hand-over of each message to a counting
// sink; leaves out the link to the backup. Baseline: the same walks copying
// as many bytes of each service record (and each port entry whole) raw
// into buffers of the same size, no encoding.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "events/coil_dm.h"
#include "events/coil_dm_records.h"
#include "mira/core/loop.h"
#include "mira/core/platform.h"
#include "support/full_chassis.h"

namespace {

constexpr uint32_t kPortEntries = 4096;

void fullChassis() {
    static bool ready = [] {
        coilbench::startDaemon();
        coilbench::addFullChassis(600);
        coilServiceNode* sr = coilFirstService();
        for (uint32_t i = 0; i < kPortEntries; i++) {
            sr->target.inPif = sr->target.inLif = {uint16_t(1 + i / 256), uint16_t(1 + i % 256)};
            coilPortControlCreate(sr);
            sr = coilNextService(sr);
        }
        return true;
    }();
    benchmark::DoNotOptimize(ready);
}

void BM_BulkCheckpointFullChassis(benchmark::State& state) {
    fullChassis();
    uint64_t messages = 0, bytes = 0;
    mira::setBackupSink([&](int, std::span<const uint8_t> m) {
        messages++;
        bytes += m.size();
    });
    mira::setCheckpointing(true);
    mira::drain();  // checkpointing on: the first bulk copy
    messages = bytes = 0;
    for (auto _ : state) coil_CP_bulk();
    state.counters["messages"] = double(messages) / double(state.iterations());
    state.counters["bytes"] = double(bytes) / double(state.iterations());
    mira::setBackupSink(nullptr);
}
BENCHMARK(BM_BulkCheckpointFullChassis)->Unit(benchmark::kMillisecond);

void BM_BulkRawCopyFullChassis(benchmark::State& state) {
    fullChassis();
    constexpr size_t kBuffer = COIL_CP_BULK_BUFFER_SIZE;
    std::vector<uint8_t> buffer(kBuffer);
    uint64_t messages = 0, bytes = 0;
    auto pack = [&](size_t& used, const void* from, size_t length) {
        if (used + length > kBuffer) {
            benchmark::DoNotOptimize(buffer.data());
            messages++, bytes += used, used = 0;
        }
        std::memcpy(buffer.data() + used, from, length);
        used += length;
    };
    for (auto _ : state) {
        size_t used = 0;
        for (coilServiceNode* sr = coilFirstService(); sr != nullptr; sr = coilNextService(sr))
            pack(used, &sr->hdr, COIL_CP_SERVICE_LEN);
        for (coilPortControl* pc = coilPortControlGetFirst(); pc != nullptr; pc = coilPortControlGetNext(pc))
            pack(used, pc, sizeof *pc);
        messages++, bytes += used;
    }
    state.counters["messages"] = double(messages) / double(state.iterations());
    state.counters["bytes"] = double(bytes) / double(state.iterations());
}
BENCHMARK(BM_BulkRawCopyFullChassis)->Unit(benchmark::kMillisecond);

}  // namespace
