#include "support/full_chassis.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <unistd.h>

#include "clients/coil_service.h"
#include "frame/coil_main.h"
#include "kypkt.h"
#include "mira/core/cmmgr.h"
#include "mira/core/loop.h"
#include "mira/core/platform.h"
#include "mira/sim/switch.h"
#include "mira/sim/topology.h"

namespace coilbench {

namespace {
// Slots 1-3 carry the VLANs (144 ports, each in about 227 VLANs); slots 4-6
// are the far ends of their cables.
constexpr uint32_t kVlanPortCount = 3 * 48;
}  // namespace

std::string vlanName(uint32_t i) { return "v" + std::to_string(i); }

uint32_t vlanPort(uint32_t vlan, uint32_t k) {
    const uint32_t index = ((vlan - 1) * kPortsPerVlan + k) % kVlanPortCount;
    return ((index / 48 + 1) << 16) | (index % 48 + 1);
}

void startDaemonOn(const std::string& topo) {
    static bool started = false;
    if (started) return;
    started = true;
    mira::useVirtualTime();
    mira::resetPlatform();
    mira::logDiscard();
    std::string error;
    if (!mira::loadTopology(topo, "bench", &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::abort();
    }
    mira::startAutostart();
    coil_main();
    mira::advanceSeconds(1);
    mira::cmRun("set", "coilGlobalCfg", {{"enable", "true"}, {"rowStatus", "active"}});
}

void startDaemon() {
    std::string topo = "chassis mac 02:00:00:c0:11:01 slots 6 first 1 ports 48\n";
    for (uint32_t i = 1; i <= kVlans; i++) {
        topo += "vlan " + vlanName(i) + " instance " + std::to_string(i) + " tag " + std::to_string(i) + " ports ";
        for (uint32_t k = 0; k < kPortsPerVlan; k++) {
            const uint32_t p = vlanPort(i, k);
            topo += (k ? "," : "") + std::to_string(p >> 16) + ":" + std::to_string(p & 0xffff);
        }
        topo += "\n";
    }
    startDaemonOn(topo);
}

bool addOperatorService(uint32_t vlan, const char* client, uint32_t interval) {
    auto r = mira::cmRun("set", "coilServiceNode",
                         {{"clientIdentifier", client},
                          {"vlanIfInstance", "0"},
                          {"vlan", vlanName(vlan)},
                          {"interval", std::to_string(interval)},
                          {"rowStatus", "createAndGo"}});
    return r.result == 1;
}

bool addDaemonService(uint32_t vlan, const char* client, uint32_t interval) {
    coilServiceNode request{};
    coilCopyText(request.hdr.clientId, sizeof request.hdr.clientId, client);
    request.hdr.vlanIfInstance = vlan;
    request.target.vlanIfInstance = vlan;
    request.peerId = 1;
    if (createCoilServiceNode(&request) != 0) return false;
    coilServiceNode* sr = findCoilServiceNode(client, vlan);
    sr->target.pollType = COIL_POLL_PERIODIC;
    sr->target.timeout = interval;
    sr->curState(sr, EV_CLIENT_START_POLL);
    return true;
}

void addFullChassis(uint32_t interval) {
    for (uint32_t i = 1; i <= kVlans; i++) {
        addOperatorService(i, "1", interval);
        addOperatorService(i, "2", interval);
        addDaemonService(i, "ospf", interval);
    }
}

void removeAllServices() {
    while (coilServiceNode* sr = coilFirstService()) {
        sr->curState(sr, EV_SERVICE_DELETE);
        coilNodeCleanup(sr);
    }
}

void giveAllPortsLink() {
    // Each VLAN port is cabled to its own port of slots 4-6, which are in no
    // VLAN: every port has link and nothing comes back.
    for (uint32_t slot = 1; slot <= 3; slot++)
        for (uint32_t port = 1; port <= 48; port++) mira::cablePorts((slot << 16) | port, ((slot + 3) << 16) | port);
    mira::drain();
}

long residentBytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

uint32_t sendBareCopies(uint32_t vlan, const coilPduBuf_t& pdu) {
    for (uint32_t k = 0; k < kPortsPerVlan; k++) {
        const uint32_t port = vlanPort(vlan, k);
        sendKypkt(coilGlobal.gCoilRxTxFd, pdu.frame, pdu.length, KYPKT_TO_PORT, 0, vlan, 1, &port, -1);
    }
    return kPortsPerVlan;
}

}  // namespace coilbench
