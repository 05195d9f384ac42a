// Transmission across the full chassis: one poll of each of 4,094 services
// ("1" on every VLAN of 8 ports, every port with link) in random order, into
// a discarding fabric, so each poll meets a VLAN's records cold. Includes the
// build of the poll's PDU, the walk of the VLAN's ports and each copy's
// patch, checksum and hand-over; leaves out timers. Baseline: the same
// copies in the same order handed to the packet layer alone (one prebuilt
// frame, no daemon code). bench_transmit is the same on one hot VLAN.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "clients/coil_service.h"
#include "mira/sim/switch.h"
#include "support/full_chassis.h"

namespace {

const std::vector<coilServiceNode*>& services() {
    static std::vector<coilServiceNode*> all = [] {
        coilbench::startDaemon();
        coilbench::giveAllPortsLink();
        mira::setDiscardTransmit(true);
        coilbench::addFullChassis(600);
        std::vector<coilServiceNode*> out;
        for (uint32_t v = 1; v <= coilbench::kVlans; v++) out.push_back(findCoilServiceNode("1", v));
        std::shuffle(out.begin(), out.end(), std::mt19937(3));
        return out;
    }();
    return all;
}

void BM_PollManyVlans(benchmark::State& state) {
    const auto& all = services();
    const uint32_t before = coilGlobal.numPktsSent;
    for (auto _ : state) {
        for (coilServiceNode* sr : all) {
            coilPduBuf_t pdu;
            coilBuildPdu(&sr->target, sr->serviceId, &pdu);
            benchmark::DoNotOptimize(coilSendPdu(sr, &pdu));
        }
    }
    const double copies = double(coilGlobal.numPktsSent - before);
    state.counters["ns_per_copy"] = benchmark::Counter(copies, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["copies_per_poll"] = copies / double(state.iterations() * all.size());
}
BENCHMARK(BM_PollManyVlans);

void BM_PollManyVlansBareSends(benchmark::State& state) {
    const auto& all = services();
    coilPduBuf_t pdu;
    coilBuildPdu(&all.front()->target, all.front()->serviceId, &pdu);
    uint64_t copies = 0;
    for (auto _ : state) {
        for (coilServiceNode* sr : all) {
            copies += coilbench::sendBareCopies(sr->hdr.vlanIfInstance, pdu);
        }
    }
    state.counters["ns_per_copy"] =
        benchmark::Counter(double(copies), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PollManyVlansBareSends);

}  // namespace
