// The bulk checkpoint of a full chassis: 12,282 services and 4,096 port
// control entries packed into messages for the backup.
#include <benchmark/benchmark.h>

#include "events/coil_dm.h"
#include "mira/core/loop.h"
#include "mira/core/platform.h"
#include "support/full_chassis.h"

namespace {

constexpr uint32_t kPortEntries = 4096;

void BM_BulkCheckpointFullChassis(benchmark::State& state) {
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

}  // namespace
