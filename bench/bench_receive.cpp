// The receive path under a loop storm, with a full chassis registered and
// tracing off: read, verify, match, state handler, report with its rate
// limit, and the disable decision finding the port already disabled. The
// bare read of the same frame from the simulated socket is the baseline.
#include <benchmark/benchmark.h>

#include <vector>

#include "clients/coil_service.h"

#include "engine/coil_bytes.h"
#include "kypkt.h"
#include "mira/core/cmmgr.h"
#include "mira/sim/switch.h"
#include "nup.h"
#include "support/full_chassis.h"

namespace {

constexpr int kBatch = 256;

struct Storm {
    std::vector<uint8_t> frame;
    uint32_t ingress = 0;
};

// The full chassis, VLAN 1's operator service reporting with text and log
// and cutting ports, its ingress port already recorded as disabled.
const Storm& storm() {
    static Storm s = [] {
        coilbench::startDaemon();
        coilbench::giveAllPortsLink();
        coilbench::addFullChassis(600);
        coilServiceNode* sr = findCoilServiceNode("1", 1);
        sr->curState(sr, EV_SERVICE_DELETE);
        coilNodeCleanup(sr);
        mira::cmRun("set", "coilServiceNode",
                    {{"clientIdentifier", "1"}, {"vlanIfInstance", "0"}, {"vlan", coilbench::vlanName(1)},
                     {"interval", "600"}, {"action", "3"}, {"disablePort", "1"}, {"disablePortDuration", "0"},
                     {"rowStatus", "createAndGo"}});
        sr = findCoilServiceNode("1", 1);
        Storm st;
        st.ingress = coilbench::vlanPort(1, 1);
        const uint32_t egress = coilbench::vlanPort(1, 0);
        coilPduBuf_t pdu;
        coilBuildPdu(&sr->target, sr->serviceId, &pdu);
        const uint16_t built = coilGetBe16(pdu.frame + 30);
        coilPutBe32(pdu.frame + 54, egress);
        coilPutBe16(pdu.frame + 30, nupChecksumIncremental(built, 0, egress));
        st.frame.assign(pdu.frame, pdu.frame + pdu.length);
        // The ingress port is on the port control list already.
        sr->target.inPif = sr->target.inLif = {uint16_t(st.ingress >> 16), uint16_t(st.ingress)};
        coilPortControlCreate(sr);
        return st;
    }();
    return s;
}

void fill(const Storm& s) {
    for (int i = 0; i < kBatch; i++) mira::injectFrame(s.ingress, s.frame.data(), s.frame.size());
}

void BM_ReceivePath(benchmark::State& state) {
    const Storm& s = storm();
    for (auto _ : state) {
        state.PauseTiming();
        fill(s);
        state.ResumeTiming();
        for (int i = 0; i < kBatch; i++) benchmark::DoNotOptimize(rxCoilPdu(coilGlobal.gCoilRxTxFd, nullptr, 0, 0, 0));
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.counters["frames_per_second"] = benchmark::Counter(double(state.iterations() * kBatch),
                                                             benchmark::Counter::kIsRate);
    if (findCoilServiceNode("1", 1)->serviceStats.rxpkts == 0) state.SkipWithError("no frame was matched");
}
BENCHMARK(BM_ReceivePath);

void BM_BareRead(benchmark::State& state) {
    const Storm& s = storm();
    uint8_t buffer[64];
    uint32_t scratch, vlan, info;
    uint16_t inPif[2], inLif[2];
    for (auto _ : state) {
        state.PauseTiming();
        fill(s);
        state.ResumeTiming();
        for (int i = 0; i < kBatch; i++)
            benchmark::DoNotOptimize(recvKypkt(coilGlobal.gCoilRxTxFd, buffer, sizeof buffer, &scratch, &vlan, &info,
                                               inPif, inLif, 0, 0));
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.counters["frames_per_second"] = benchmark::Counter(double(state.iterations() * kBatch),
                                                             benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BareRead);

}  // namespace
