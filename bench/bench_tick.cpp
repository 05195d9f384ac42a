// One one-second tick of a full chassis: 12,282 continuous services with
// interval 1 on 8-port VLANs, every port with link, into a discarding
// fabric: timers, builds and sends.
#include <benchmark/benchmark.h>

#include "mira/core/loop.h"
#include "mira/sim/switch.h"
#include "support/full_chassis.h"

namespace {

void BM_FullChassisTick(benchmark::State& state) {
    static bool ready = [] {
        coilbench::startDaemon();
        coilbench::giveAllPortsLink();
        mira::setDiscardTransmit(true);
        coilbench::addFullChassis(1);
        return true;
    }();
    benchmark::DoNotOptimize(ready);
    const uint32_t before = coilGlobal.numPktsSent;
    for (auto _ : state) mira::advanceSeconds(1);
    state.counters["services"] = double(coilGlobal.coilClients);
    state.counters["copies_per_tick"] = double(coilGlobal.numPktsSent - before) / double(state.iterations());
}
BENCHMARK(BM_FullChassisTick)->Unit(benchmark::kMillisecond);

}  // namespace
