// Resident memory per service: the growth of the process for a full
// chassis of services, measured in a process that has made none before.
#include <benchmark/benchmark.h>

#include "support/full_chassis.h"

namespace {

void BM_MemoryPerService(benchmark::State& state) {
    coilbench::startDaemon();
    double perService = 0;
    for (auto _ : state) {
        const long before = coilbench::residentBytes();
        coilbench::addFullChassis(600);
        perService = double(coilbench::residentBytes() - before) / coilbench::kFullChassisServices;
    }
    state.counters["bytes_per_service"] = perService;
}
BENCHMARK(BM_MemoryPerService)->Iterations(1)->Repetitions(1)->Unit(benchmark::kMillisecond);

}  // namespace
