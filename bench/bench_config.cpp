// Configuration at full-chassis scale: 12,282 services created through the
// operator path and removed again (the lookups are bench_lookup's, in a
// process of their own).
#include <benchmark/benchmark.h>

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

}  // namespace
