// One poll of a service on one hot VLAN of 48 ports (bench_transmit_chassis
// polls across 4,094 VLANs): per copy, patch the egress word, update the
// checksum incrementally and hand the copy to a discarding packet layer;
// against the same with a full checksum per copy. Leaves out the build of
// the PDU and timers.
#include <benchmark/benchmark.h>

#include "clients/coil_service.h"
#include "engine/coil_bytes.h"
#include "frame/coil_log.h"
#include "kypkt.h"
#include "mira/sim/switch.h"
#include "support/full_chassis.h"

namespace {

constexpr uint32_t kPorts = 48;

coilServiceNode* service() {
    static coilServiceNode* sr = [] {
        coilbench::startDaemonOn("chassis mac 02:00:00:c0:11:01 slots 1 first 1 ports 48\n"
                                 "vlan wide instance 1 tag 10 ports 1:1-1:48\n");
        mira::setDiscardTransmit(true);
        coilServiceNode request{};
        coilCopyText(request.hdr.clientId, sizeof request.hdr.clientId, "ospf");
        request.hdr.vlanIfInstance = 1;
        request.target.vlanIfInstance = 1;
        createCoilServiceNode(&request);
        return findCoilServiceNode("ospf", 1);
    }();
    return sr;
}

void BM_PollIncrementalChecksum(benchmark::State& state) {
    coilServiceNode* sr = service();
    coilPduBuf_t pdu;
    coilBuildPdu(&sr->target, sr->serviceId, &pdu);
    for (auto _ : state) benchmark::DoNotOptimize(coilSendPdu(sr, &pdu));
    state.SetItemsProcessed(state.iterations() * kPorts);
    state.counters["ns_per_copy"] =
        benchmark::Counter(double(state.iterations() * kPorts), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PollIncrementalChecksum);

uint16_t fullChecksum(const uint8_t* f) {
    uint32_t sum = 0;
    for (int i = 26; i < 62; i += 2)
        if (i != 30) sum += uint32_t(f[i] << 8 | f[i + 1]);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return uint16_t(~sum);
}

// The same walk of the VLAN's ports as a client daemon's poll (trunk tests,
// trace gates, counters), recomputing the whole checksum per copy.
void BM_PollFullChecksum(benchmark::State& state) {
    coilServiceNode* sr = service();
    coilPduBuf_t pdu;
    coilBuildPdu(&sr->target, sr->serviceId, &pdu);
    vlanIf_t* vlanIf = nullptr;
    vlanLibGetVlanIfByInstance(1, &vlanIf);
    for (auto _ : state) {
        for (vpif_t* v = getFirstVpifOnVlan(vlanIf); v != nullptr; v = getNextVpifOnVlan(vlanIf, v->lif)) {
            lif_t* lif = v->lif;
            uint32_t tx = 0;
            if (isPortATrunk(lif) || isPortPartOfTrunk(lif)) {
                pif_t* active = vlanLibGetActivePortOnLif(lif);
                if (active == nullptr) continue;
                tx = (uint32_t(portInstanceSlot(active->portInstance)) << 16) | portInstancePort(active->portInstance);
            } else {
                if (lif->pif == nullptr) continue;
                tx = (uint32_t(portInstanceSlot(lif->portInstance)) << 16) | portInstancePort(lif->portInstance);
            }
            benchmark::DoNotOptimize(coilTraceGate());
            coilPutBe32(pdu.frame + 54, tx);
            coilPutBe16(pdu.frame + 30, fullChecksum(pdu.frame));
            benchmark::DoNotOptimize(coilTraceGate());
            coilTransmitPdu(&pdu, 1, tx, KYPKT_TO_PORT);
            coilGlobal.numPktsSent++;
            sr->serviceStats.txpkts++;
        }
    }
    state.SetItemsProcessed(state.iterations() * kPorts);
    state.counters["ns_per_copy"] =
        benchmark::Counter(double(state.iterations() * kPorts), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PollFullChecksum);

}  // namespace
