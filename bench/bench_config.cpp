// Configuration at full-chassis scale: 12,282 services created through the
// operator path and removed again; lookups by identifier and by key.
#include <benchmark/benchmark.h>

#include <random>

#include "mira/core/cmmgr.h"
#include "support/full_chassis.h"

namespace {

constexpr const char* kClients[coilbench::kServicesPerVlan] = {"1", "2", "ospf"};

mira::CmResult configure(uint32_t vlan, const char* client, const char* rowStatus) {
    return mira::cmRun("set", "coilServiceNode",
                       {{"clientIdentifier", client}, {"vlanIfInstance", "0"}, {"vlan", coilbench::vlanName(vlan)},
                        {"interval", "600"}, {"rowStatus", rowStatus}});
}

void createAll() {
    for (uint32_t v = 1; v <= coilbench::kVlans; v++)
        for (const char* c : kClients) configure(v, c, "createAndGo");
}

void removeAll() {
    for (uint32_t v = 1; v <= coilbench::kVlans; v++)
        for (const char* c : kClients) configure(v, c, "destroy");
}

void BM_CreateAndRemoveFullChassis(benchmark::State& state) {
    coilbench::startDaemon();
    for (auto _ : state) {
        createAll();
        if (coilGlobal.coilClients != coilbench::kFullChassisServices) state.SkipWithError("not every service was made");
        removeAll();
    }
    state.counters["services"] = coilbench::kFullChassisServices;
}
BENCHMARK(BM_CreateAndRemoveFullChassis)->Unit(benchmark::kMillisecond);

void withFullChassis() {
    coilbench::startDaemon();
    if (coilGlobal.coilClients == 0) createAll();
}

void BM_LookupById(benchmark::State& state) {
    withFullChassis();
    std::mt19937 rng(1);
    std::uniform_int_distribution<uint32_t> id(1, coilGlobal.gServiceId);
    uint32_t ids[1024];
    for (uint32_t& i : ids) i = id(rng);
    size_t k = 0;
    for (auto _ : state) benchmark::DoNotOptimize(findCoilServiceIdNode(ids[k++ & 1023]));
}
BENCHMARK(BM_LookupById);

void BM_LookupByKey(benchmark::State& state) {
    withFullChassis();
    std::mt19937 rng(2);
    std::uniform_int_distribution<uint32_t> vlan(1, coilbench::kVlans);
    std::pair<const char*, uint32_t> keys[1024];
    for (auto& key : keys) key = {kClients[rng() % 3], vlan(rng)};
    size_t k = 0;
    for (auto _ : state) {
        const auto& key = keys[k++ & 1023];
        benchmark::DoNotOptimize(findCoilServiceNode(key.first, key.second));
    }
}
BENCHMARK(BM_LookupByKey);

}  // namespace
