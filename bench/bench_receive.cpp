// The receive path under a loop storm, full chassis, tracing off. Every
// benchmark here injects a batch of frames at their ingress ports (the
// simulated switch's delivery: VLAN by tag, membership, CPU entry, receive
// filter, queue) and then reads the batch; nothing is paused inside the
// timed loop. The daemon's own path per frame is the difference between a
// pass through the daemon and a pass of delivery and bare reads of the same
// frames, taken in turns (pathAgainstBareRead). The daemon's look
// at the frames queued behind the one it read also starts loading their
// bytes, which the bare read loads on demand: that saving of the read lies
// inside the difference. The simulated switch's answer to that look also
// resolves the next frame's VLAN, port and membership, which the read hands
// on to the VLAN-library calls of its verification: the resolving lies in
// the daemon's path, the hand-over (a copy of a few words) in the read.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <random>
#include <set>
#include <vector>

#include "clients/coil_service.h"

#include "engine/coil_bytes.h"
#include "kypkt.h"
#include "mira/core/cmmgr.h"
#include "mira/sim/switch.h"
#include "nup.h"
#include "support/full_chassis.h"

namespace {

struct Frame {
    std::vector<uint8_t> bytes;
    uint32_t ingress = 0;
};

// Client "1"'s probe on VLAN v as it comes back: left by the VLAN's first
// port, enters by its second.
Frame returnedProbe(uint32_t v) {
    coilServiceNode* sr = findCoilServiceNode("1", v);
    const uint32_t egress = coilbench::vlanPort(v, 0);
    coilPduBuf_t pdu;
    coilBuildPdu(&sr->target, sr->serviceId, &pdu);
    const uint16_t built = coilGetBe16(pdu.frame + 30);
    coilPutBe32(pdu.frame + 54, egress);
    coilPutBe16(pdu.frame + 30, nupChecksumIncremental(built, 0, egress));
    return Frame{std::vector<uint8_t>(pdu.frame, pdu.frame + pdu.length), coilbench::vlanPort(v, 1)};
}

// The full chassis with client "1" reporting by text and log and cutting
// ports on every VLAN; each ingress port of the storm is recorded as
// disabled already and every service has reported once (as moments into a
// real storm), so every frame runs verification, matching, the state
// handler, the rate-limited report and the disable decision. The frames of all 4,094 VLANs, in random order.
const std::vector<Frame>& storm() {
    static std::vector<Frame> frames = [] {
        coilbench::startDaemon();
        coilbench::giveAllPortsLink();
        for (uint32_t v = 1; v <= coilbench::kVlans; v++) {
            mira::cmRun("set", "coilServiceNode",
                        {{"clientIdentifier", "1"}, {"vlanIfInstance", "0"}, {"vlan", coilbench::vlanName(v)},
                         {"interval", "600"}, {"action", "3"}, {"disablePort", "1"}, {"disablePortDuration", "0"},
                         {"rowStatus", "createAndGo"}});
            coilbench::addOperatorService(v, "2", 600);
            coilbench::addDaemonService(v, "ospf", 600);
        }
        std::vector<Frame> all;
        std::set<uint32_t> recorded;
        for (uint32_t v = 1; v <= coilbench::kVlans; v++) {
            all.push_back(returnedProbe(v));
            if (!recorded.insert(all.back().ingress).second) continue;
            coilServiceNode* sr = findCoilServiceNode("1", v);
            const uint32_t in = all.back().ingress;
            sr->target.inPif = sr->target.inLif = {uint16_t(in >> 16), uint16_t(in)};
            coilPortControlCreate(sr);
        }
        std::shuffle(all.begin(), all.end(), std::mt19937(7));
        // One pass before measuring: every service has made its first
        // report, so the storm's reports are the rate-limited ones.
        for (const Frame& f : all) mira::injectFrame(f.ingress, f.bytes.data(), f.bytes.size());
        for (size_t i = 0; i < all.size(); i++) rxCoilPdu(coilGlobal.gCoilRxTxFd, nullptr, 0, 0, 0);
        return all;
    }();
    return frames;
}

// One service's probe, as many times as the storm has frames: hot caches.
const std::vector<Frame>& oneService() {
    static std::vector<Frame> frames = [] {
        const size_t n = storm().size();  // the chassis and its services first
        return std::vector<Frame>(n, returnedProbe(1));
    }();
    return frames;
}

void inject(const std::vector<Frame>& frames) {
    for (const Frame& f : frames) mira::injectFrame(f.ingress, f.bytes.data(), f.bytes.size());
}

void bareRead(size_t n) {
    uint8_t buffer[64];
    uint32_t scratch, vlan, info;
    uint16_t inPif[2], inLif[2];
    for (size_t i = 0; i < n; i++)
        benchmark::DoNotOptimize(
            recvKypkt(coilGlobal.gCoilRxTxFd, buffer, sizeof buffer, &scratch, &vlan, &info, inPif, inLif, 0, 0));
}

// Not inlined: scripts/bench-callgrind.sh counts inside it, so the warm-up
// pass of the storm is left out.
[[gnu::noinline]] void receive(size_t n) {
    for (size_t i = 0; i < n; i++) benchmark::DoNotOptimize(rxCoilPdu(coilGlobal.gCoilRxTxFd, nullptr, 0, 0, 0));
}

void perFrame(benchmark::State& state, size_t frames) {
    state.SetItemsProcessed(int64_t(state.iterations() * frames));
    state.counters["ns_per_frame"] = benchmark::Counter(double(state.iterations() * frames),
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Includes delivery, read, the look at the frames queued behind,
// verification, matching, state handler, report decision and disable
// decision for 4,094 services in random order; leaves out nothing of the
// daemon's path (tracing is off). What scripts/bench-callgrind.sh counts;
// the times come from the passes taken in turns below.
void BM_StormReceivePath(benchmark::State& state) {
    const auto& frames = storm();
    const uint32_t before = coilGlobal.numPktsRcvd;
    for (auto _ : state) {
        inject(frames);
        receive(frames.size());
    }
    perFrame(state, frames.size());
    if (coilGlobal.numPktsRcvd - before != state.iterations() * frames.size()) state.SkipWithError("a frame was lost");
}
BENCHMARK(BM_StormReceivePath);

// A receive benchmark and its baseline taken in turns, a pass of each per
// iteration: the same delivery of the same frames, read by the daemon's
// path in one pass and read bare in the other. Both passes see the same
// load on the machine and the caches the other pass left, so the
// difference of a pair is the daemon's own path per frame; its median over
// the iterations is reported with the medians of both passes. Leaves out
// nothing of either.
uint64_t threadNanoseconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

double median(std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + ptrdiff_t(v.size() / 2), v.end());
    return v[v.size() / 2];
}

void pathAgainstBareRead(benchmark::State& state, const std::vector<Frame>& frames) {
    const double n = double(frames.size());
    const uint32_t before = coilGlobal.numPktsRcvd;
    std::vector<double> path, bare, own;
    for (auto _ : state) {
        const uint64_t t0 = threadNanoseconds();
        inject(frames);
        receive(frames.size());
        const uint64_t t1 = threadNanoseconds();
        inject(frames);
        bareRead(frames.size());
        const uint64_t t2 = threadNanoseconds();
        path.push_back(double(t1 - t0) / n);
        bare.push_back(double(t2 - t1) / n);
        own.push_back(path.back() - bare.back());
    }
    state.counters["path_ns"] = median(path);
    state.counters["bare_ns"] = median(bare);
    state.counters["own_ns"] = median(own);
    if (coilGlobal.numPktsRcvd - before != state.iterations() * frames.size()) state.SkipWithError("a frame was lost");
}

// The storm: 4,094 services' frames in random order, cold-ish caches.
void BM_StormPathAgainstBareRead(benchmark::State& state) { pathAgainstBareRead(state, storm()); }
BENCHMARK(BM_StormPathAgainstBareRead)->Iterations(200);

// The best case: one service's probe over and over, hot caches.
void BM_OneServicePathAgainstBareRead(benchmark::State& state) { pathAgainstBareRead(state, oneService()); }
BENCHMARK(BM_OneServicePathAgainstBareRead)->Iterations(200);

// The simulated switch's delivery of one probe by VLAN: the frame of VLAN
// 1 against that of VLAN 4,094 (the last receive filter attached). Includes
// delivery and a bare read; leaves out the daemon.
void BM_DeliveryByVlan(benchmark::State& state) {
    storm();
    const std::vector<Frame> frames(1024, returnedProbe(uint32_t(state.range(0))));
    for (auto _ : state) {
        inject(frames);
        bareRead(frames.size());
    }
    perFrame(state, frames.size());
}
BENCHMARK(BM_DeliveryByVlan)->Arg(1)->Arg(coilbench::kVlans);

}  // namespace
