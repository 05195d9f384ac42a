// One one-second tick of a full chassis: 12,282 continuous services with
// interval 1 on 8-port VLANs, every port with link, into a discarding
// fabric. Includes timers, the state handler, each poll's build and each
// copy's port choice, patch, checksum and hand-over; leaves out nothing of
// the daemon's tick. Baseline: the same copies handed to the packet layer
// alone (one prebuilt frame, no daemon code).
#include <benchmark/benchmark.h>

#include "mira/core/loop.h"
#include "mira/sim/switch.h"
#include "support/full_chassis.h"

namespace {

void fullChassis() {
    static bool ready = [] {
        coilbench::startDaemon();
        coilbench::giveAllPortsLink();
        mira::setDiscardTransmit(true);
        coilbench::addFullChassis(1);
        return true;
    }();
    benchmark::DoNotOptimize(ready);
}

// Behind a call of its own, which scripts/bench-callgrind.sh counts.
[[gnu::noinline]] void oneTick() { mira::advanceSeconds(1); }

void BM_FullChassisTick(benchmark::State& state) {
    fullChassis();
    const uint32_t before = coilGlobal.numPktsSent;
    for (auto _ : state) oneTick();
    state.counters["services"] = double(coilGlobal.coilClients);
    state.counters["copies_per_tick"] = double(coilGlobal.numPktsSent - before) / double(state.iterations());
}
BENCHMARK(BM_FullChassisTick)->Unit(benchmark::kMillisecond);

// Baseline: every service's VLAN ports, one sendKypkt each.
void BM_FullChassisBareSends(benchmark::State& state) {
    fullChassis();
    coilServiceNode* first = coilFirstService();
    coilPduBuf_t pdu;
    coilBuildPdu(&first->target, first->serviceId, &pdu);
    uint64_t copies = 0;
    for (auto _ : state) {
        for (coilServiceNode* sr = coilFirstService(); sr != nullptr; sr = coilNextService(sr)) {
            copies += coilbench::sendBareCopies(sr->hdr.vlanIfInstance, pdu);
        }
    }
    state.counters["copies_per_tick"] = double(copies) / double(state.iterations());
}
BENCHMARK(BM_FullChassisBareSends)->Unit(benchmark::kMillisecond);

}  // namespace
