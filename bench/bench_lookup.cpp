// Lookups in the registry at full chassis (12,282 live services), each in a
// fresh process of its own: nothing was created or removed before but the
// chassis. Random identifiers and keys of live services; includes the index
// and the record it finds, leaves out everything around the call.
#include <benchmark/benchmark.h>

#include <random>

#include "support/full_chassis.h"

namespace {

constexpr const char* kClients[coilbench::kServicesPerVlan] = {"1", "2", "ospf"};

void fullChassis() {
    static bool ready = [] {
        coilbench::startDaemon();
        coilbench::addFullChassis(600);
        return coilGlobal.coilClients == coilbench::kFullChassisServices;
    }();
    benchmark::DoNotOptimize(ready);
}

void BM_LookupById(benchmark::State& state) {
    fullChassis();
    std::mt19937 rng(1);
    std::uniform_int_distribution<uint32_t> id(1, coilGlobal.gServiceId);
    uint32_t ids[4096];
    for (uint32_t& i : ids) i = id(rng);
    size_t k = 0;
    for (auto _ : state) benchmark::DoNotOptimize(findCoilServiceIdNode(ids[k++ & 4095]));
    if (findCoilServiceIdNode(ids[0]) == nullptr) state.SkipWithError("an identifier of no service");
}

void BM_LookupByKey(benchmark::State& state) {
    fullChassis();
    std::mt19937 rng(2);
    std::uniform_int_distribution<uint32_t> vlan(1, coilbench::kVlans);
    std::pair<const char*, uint32_t> keys[4096];
    for (auto& key : keys) key = {kClients[rng() % 3], vlan(rng)};
    size_t k = 0;
    for (auto _ : state) {
        const auto& key = keys[k++ & 4095];
        benchmark::DoNotOptimize(findCoilServiceNode(key.first, key.second));
    }
    if (findCoilServiceNode(keys[0].first, keys[0].second) == nullptr) state.SkipWithError("a key of no service");
}

}  // namespace

// One of the two per process: `bench_lookup --benchmark_filter=BM_LookupById`
// (scripts/bench.sh runs each alone).
BENCHMARK(BM_LookupById);
BENCHMARK(BM_LookupByKey);
