// Configuration at full-chassis scale: 12,282 services created through the
// operator path and removed again. Includes all a request does on the
// operator path; leaves out the control socket (requests run in-process).
// Baseline: the same 24,564 requests naming VLANs that do not exist,
// refused by the daemon before anything is made.
#include <benchmark/benchmark.h>

#include <string>

#include "mira/core/cmmgr.h"
#include "support/full_chassis.h"

namespace {

constexpr const char* kClients[coilbench::kServicesPerVlan] = {"1", "2", "ospf"};

mira::CmResult configure(const std::string& vlan, const char* client, const char* rowStatus) {
    return mira::cmRun("set", "coilServiceNode",
                       {{"clientIdentifier", client}, {"vlanIfInstance", "0"}, {"vlan", vlan},
                        {"interval", "600"}, {"rowStatus", rowStatus}});
}

void createAll() {
    for (uint32_t v = 1; v <= coilbench::kVlans; v++)
        for (const char* c : kClients) configure(coilbench::vlanName(v), c, "createAndGo");
}

void removeAll() {
    for (uint32_t v = 1; v <= coilbench::kVlans; v++)
        for (const char* c : kClients) configure(coilbench::vlanName(v), c, "destroy");
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

// Baseline: the same requests on VLAN names no VLAN has ("x1" to "x4094").
void BM_RefusedRequestsFullChassis(benchmark::State& state) {
    coilbench::startDaemon();
    for (auto _ : state) {
        for (const char* rowStatus : {"createAndGo", "destroy"})
            for (uint32_t v = 1; v <= coilbench::kVlans; v++)
                for (const char* c : kClients) configure("x" + std::to_string(v), c, rowStatus);
        if (coilGlobal.coilClients != 0) state.SkipWithError("a service was made");
    }
    state.counters["requests"] = 2.0 * coilbench::kFullChassisServices;
}
BENCHMARK(BM_RefusedRequestsFullChassis)->Unit(benchmark::kMillisecond);

}  // namespace
