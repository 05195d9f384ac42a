// Lookups in the registry at full chassis (12,282 live services), each in a
// fresh process of its own: nothing was created or removed before but the
// chassis. Random identifiers and keys of live services. Includes the index
// and the records it reads (for an identifier, the service its slot leads
// to, which points to the identifier record); leaves out everything around
// the call. Baseline:
// the standard library's hash map holding the same services, searched with
// the same keys in the same order.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <unordered_map>

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

struct Ids {
    uint32_t at[4096];
};
Ids randomIds() {
    std::mt19937 rng(1);
    std::uniform_int_distribution<uint32_t> id(1, coilGlobal.gServiceId);
    Ids ids;
    for (uint32_t& i : ids.at) i = id(rng);
    return ids;
}

struct Keys {
    std::pair<const char*, uint32_t> at[4096];
};
Keys randomKeys() {
    std::mt19937 rng(2);
    std::uniform_int_distribution<uint32_t> vlan(1, coilbench::kVlans);
    Keys keys;
    for (auto& key : keys.at) key = {kClients[rng() % 3], vlan(rng)};
    return keys;
}

// The lookups and their baselines each behind a call of their own, which
// scripts/bench-callgrind.sh counts (the whole program is optimised as one,
// so the lookups themselves may be inlined into their callers).
[[gnu::noinline]] coilServiceIdNode* lookupById(uint32_t id) { return findCoilServiceIdNode(id); }
[[gnu::noinline]] coilServiceNode* lookupByKey(const char* client, uint32_t vlan) {
    return findCoilServiceNode(client, vlan);
}
template <typename Map, typename Key>
[[gnu::noinline]] auto lookupInMap(const Map& map, const Key& key) {
    return map.find(key);
}

void BM_LookupById(benchmark::State& state) {
    fullChassis();
    const Ids ids = randomIds();
    size_t k = 0;
    for (auto _ : state) benchmark::DoNotOptimize(lookupById(ids.at[k++ & 4095]));
    if (findCoilServiceIdNode(ids.at[0]) == nullptr) state.SkipWithError("an identifier of no service");
}

// Baseline: std::unordered_map from identifier to identifier record.
void BM_LookupByIdHashMap(benchmark::State& state) {
    fullChassis();
    std::unordered_map<uint32_t, coilServiceIdNode*> map;
    for (coilServiceNode* sr = coilFirstService(); sr != nullptr; sr = coilNextService(sr))
        map.emplace(sr->serviceId, findCoilServiceIdNode(sr->serviceId));
    const Ids ids = randomIds();
    size_t k = 0;
    for (auto _ : state) benchmark::DoNotOptimize(lookupInMap(map, ids.at[k++ & 4095]));
}

void BM_LookupByKey(benchmark::State& state) {
    fullChassis();
    const Keys keys = randomKeys();
    size_t k = 0;
    for (auto _ : state) {
        const auto& key = keys.at[k++ & 4095];
        benchmark::DoNotOptimize(lookupByKey(key.first, key.second));
    }
    if (findCoilServiceNode(keys.at[0].first, keys.at[0].second) == nullptr) state.SkipWithError("a key of no service");
}

// Baseline: std::unordered_map from (client identifier, VLAN instance) to
// service, the key's text built from the caller's string as the registry's
// is (at most 31 characters).
struct KeyHash {
    size_t operator()(const std::pair<std::string, uint32_t>& k) const {
        return std::hash<std::string>()(k.first) * 31 + k.second;
    }
};
void BM_LookupByKeyHashMap(benchmark::State& state) {
    fullChassis();
    std::unordered_map<std::pair<std::string, uint32_t>, coilServiceNode*, KeyHash> map;
    for (coilServiceNode* sr = coilFirstService(); sr != nullptr; sr = coilNextService(sr))
        map.emplace(std::make_pair(std::string(sr->hdr.clientId), sr->hdr.vlanIfInstance), sr);
    const Keys keys = randomKeys();
    size_t k = 0;
    for (auto _ : state) {
        const auto& key = keys.at[k++ & 4095];
        benchmark::DoNotOptimize(lookupInMap(map, std::make_pair(std::string(key.first, strnlen(key.first, 31)), key.second)));
    }
}

}  // namespace

// One per process: `bench_lookup --benchmark_filter=BM_LookupById$`
// (scripts/bench.sh runs each alone).
BENCHMARK(BM_LookupById);
BENCHMARK(BM_LookupByIdHashMap);
BENCHMARK(BM_LookupByKey);
BENCHMARK(BM_LookupByKeyHashMap);
