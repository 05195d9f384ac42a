// Creation and removal of services. Both creation paths (an operator's
// configuration and a client daemon's Register) end in the two trees with an
// identifier and the VLAN's filter attached; every removal ends in
// coilNodeCleanup.
#include <cstdlib>
#include <cstring>

#include "clients/coil_cmbackend.h"
#include "clients/coil_service.h"
#include "events/coil_dm.h"
#include "frame/coil_log.h"
#include "watch.h"

static constexpr const char* coilUnit = "coil_cmbackend";

namespace {

bool isOperatorClient(const char* clientId) { return std::strcmp(clientId, "1") == 0 || std::strcmp(clientId, "2") == 0; }

bool impliedRowStatus(const cmRequest_t* context) {
    return context != nullptr && (context->flags & CM_FLAG_IMPLIED_ROW_STATUS) != 0;
}

// Operator messages go to the request's message buffer, when there is one.
#define COIL_MESSAGE(context, ...) \
    do { \
        if ((context) != nullptr) bufferPutf(&(context)->message, __VA_ARGS__); \
    } while (0)

void attachFilterOnce(vlanIf_t* vlanIf) {
    if (vlanIf->clientWord == 0) vlanIf->clientWord = coilAttachPktFilter(vlanIf);
}

// Every listed port must be a port of the requested VLAN; counts them.
bool checkPortList(coilServiceNode* request, const vlanIf_t* vlanIf, cmRequest_t* context) {
    coilTarget_t& t = request->target;
    t.numPorts = 0;
    for (int32_t p = PORTLIST_GETNEXTPORT(&t.ports, -1); p != -1; p = PORTLIST_GETNEXTPORT(&t.ports, p)) {
        const uint16_t slot = uint16_t(uint32_t(p) >> 16), port = uint16_t(p);
        lif_t* lif = nullptr;
        if (vlanLibGetLifBySlotPort(slot, port, &lif) != 1) {
            COIL_MESSAGE(context, "NULL pif for slot %d port %d, Operation Failed! ", slot, port);
            return false;
        }
        bool member = false;
        for (vpif_t* v = lif ? vlanLibGetFirstVpifOnPort(lif) : nullptr; v != nullptr;
             v = vlanLibGetNextVpifOnPort(lif, v->vlanIf)) {
            if (v->vlanIf == nullptr) {
                COIL_MESSAGE(context, "Port %d:%d do not belong to any vlan!", slot, port);
                return false;
            }
            if (v->vlanIf->vlanIfInstance == vlanIf->vlanIfInstance) {
                member = true;
                break;
            }
        }
        if (!member) {
            COIL_MESSAGE(context, "Port %d:%d do not belong to %s!", slot, port, t.vlan);
            return false;
        }
        t.numPorts++;
    }
    return true;
}

// Why one more service of a client daemon (of this peer) is refused, or null.
const char* clientServiceRefusal(uint32_t peerId) {
    if (coilPeerServiceCount(peerId) >= kCoilMaxServicesPerClientDaemon)
        return "a client daemon may have at most 4094 services";
    if (coilClientServiceCount() >= kCoilMaxClientServices) return "client daemons may have at most 12282 services in all";
    return nullptr;
}
static_assert(kCoilMaxServicesPerClientDaemon == 4094 && kCoilMaxClientServices == 12282, "the texts above");

}  // namespace

int configCoilService(coilServiceNode* request, cmRequest_t* context) {
    COIL_DEBUG("%s() Key : Client %s - instance %u : vlan %s\n", __func__, request->hdr.clientId,
               request->hdr.vlanIfInstance, request->target.vlan);
    request->hdr.clientType = isOperatorClient(request->hdr.clientId) ? COIL_CLIENT_OPERATOR : COIL_CLIENT_DAEMON;
    if (request->hdr.clientType == COIL_CLIENT_OPERATOR && coilGlobal.coilEnable == 0 && !impliedRowStatus(context)) {
        COIL_MESSAGE(context, "COIL Client is disabled. Operation failed!");
        return 0;
    }
    vlanIf_t* vlanIf = nullptr;
    if (vlanLibGetVlanIfByName(request->target.vlan, &vlanIf) != 1 || vlanIf == nullptr) {
        COIL_MESSAGE(context, "Invalid Vlan %s specified!", request->target.vlan);
        return 0;
    }
    if (dmConfig.node_state == NM_STATE_BACKUP && request->hdr.clientType == COIL_CLIENT_OPERATOR &&
        request->target.pollType == COIL_POLL_ONESHOT) {
        attachFilterOnce(vlanIf);
        return 1;
    }
    if (request->target.numPorts == 1 && !checkPortList(request, vlanIf, context)) return 0;
    if (const char* why = request->hdr.clientType == COIL_CLIENT_DAEMON ? clientServiceRefusal(request->peerId) : nullptr;
        why != nullptr && findCoilServiceNode(request->hdr.clientId, vlanIf->vlanIfInstance) == nullptr) {
        COIL_MESSAGE(context, "ERROR: %s; no service for \"%s:%s\" created!", why, request->hdr.clientId, vlanIf->name);
        return 0;
    }

    coilServiceNode* sr = coilAllocServiceNode();
    coilAssert(sr != nullptr);
    std::memcpy(sr, request, sizeof *sr);
    sr->hdr.vlanIfInstance = vlanIf->vlanIfInstance;
    sr->target.vlanIfInstance = vlanIf->vlanIfInstance;
    sr->target.noVpifs = vlanIf->numVpifs;
    sr->target.extTag = vlanIf->tag;
    COIL_TRACE("sr->target.action %d Num Ports %d\n", sr->target.action, sr->target.numPorts);

    if (coilInsertServiceNode(sr) != 0) {
        if (std::strcmp(sr->hdr.clientId, "2") != 0)
            COIL_MESSAGE(context, "ERROR: An active session already exists for \"%s:%s\" !\n",
                         std::strcmp(sr->hdr.clientId, "1") == 0 ? "CLI" : sr->hdr.clientId, vlanIf->name);
        coilFreeServiceNode(sr);
        return 0;
    }
    sr->serviceId = coilNextServiceId();
    COIL_TRACE("node->serviceId %u\n", sr->serviceId);
    coilServiceIdNode* srId = coilEnterServiceId(sr);
    if (srId == nullptr) {
        COIL_MESSAGE(context, "creating COIL ServiceId failed; Check whether a similar COIL session is active!");
        return 0;
    }
    coilGlobal.coilClients++;
    attachFilterOnce(vlanIf);
    coilWatch(WATCH_SERVICE_ADDED, sr);

    sr->state = COIL_STATE_INIT;
    setServiceState(sr, COIL_STATE_INIT, S_Init);
    if (context != nullptr) {
        context->configChanged = 1;
        context->actionTaken = 1;
    }
    sr->serviceStats.statusFlag = 1;
    sr->curState(sr, EV_START);
    COIL_TRACE("sr %p srId %p coilGlobal.root1 %p coilGlobal.root2 %p\n", static_cast<void*>(sr),
               static_cast<void*>(srId), coilGlobal.root1, coilGlobal.root2);
    coil_dm_Checkpoint_Service(sr, 1);
    return 1;
}

int unConfigCoilService(coilServiceNode* request, cmRequest_t* context) {
    COIL_DEBUG("%s() Key : Client %s - instance %u : vlan %s\n", __func__, request->hdr.clientId,
               request->hdr.vlanIfInstance, request->target.vlan);
    vlanIf_t* vlanIf = nullptr;
    if (vlanLibGetVlanIfByName(request->target.vlan, &vlanIf) != 1 || vlanIf == nullptr) {
        COIL_MESSAGE(context, "Invalid Vlan %s specified!", request->target.vlan);
        return 0;
    }
    coilServiceNode* sr = findCoilServiceNode(request->hdr.clientId, vlanIf->vlanIfInstance);
    if (sr != nullptr) {
        sr->curState(sr, EV_SERVICE_DELETE);
        coilNodeCleanup(sr);
        return 1;
    }
    if (dmConfig.node_state == NM_STATE_BACKUP) return 1;
    COIL_MESSAGE(context, "No COIL Service configured for vlan \"%s\" !", request->target.vlan);
    return 0;
}

int createCoilServiceNode(coilServiceNode* request) {
    static constexpr const char* coilUnit = "coil_server";
    // A Register has no answer: the refusal goes to the system log, at the
    // 1st, 2nd, 4th, 8th... refusal, so that a client that keeps trying
    // cannot flood the log.
    if (const char* why = clientServiceRefusal(request->peerId); why != nullptr) {
        static unsigned long long refused = 0;
        refused++;
        if ((refused & (refused - 1)) == 0)
            coilSystemLog("SERVICE LIMIT", miraGetProcessName(), coilUnit, __LINE__, __func__, coilUnit, __LINE__,
                          __func__, "Register of \"%s\" on VLAN instance %u refused: %s (%llu refused so far)",
                          request->hdr.clientId, request->hdr.vlanIfInstance, why, refused);
        return 1;
    }
    coilServiceNode* sr = coilAllocServiceNode();
    coilAssert(sr != nullptr);
    vlanIf_t* vlanIf = nullptr;
    if (vlanLibGetVlanIfByInstance(request->hdr.vlanIfInstance, &vlanIf) != 1 || vlanIf == nullptr) {
        COIL_TRACE("Invalid Vlan %u specified!", request->hdr.vlanIfInstance);
        coilFreeServiceNode(sr);
        return 1;
    }
    std::memcpy(sr, request, sizeof *sr);
    coilCopyText(sr->target.vlan, sizeof sr->target.vlan, vlanIf->name);
    sr->target.noVpifs = vlanIf->numVpifs;
    sr->target.extTag = vlanIf->tag;
    sr->hdr.clientType = COIL_CLIENT_DAEMON;
    COIL_TRACE("sr->peerId %d vlan %s\n", request->peerId, request->target.vlan);

    if (coilInsertServiceNode(sr) != 0) {
        COIL_TRACE("creating COIL Service Node failed!\n");
        coilFreeServiceNode(sr);
        return 1;
    }
    sr->serviceId = coilNextServiceId();
    COIL_TRACE("node->serviceId %u\n", sr->serviceId);
    if (coilEnterServiceId(sr) == nullptr) {
        COIL_TRACE("creating COIL ServiceId failed!\n");
        return 1;
    }
    coilGlobal.coilClients++;
    attachFilterOnce(vlanIf);
    coilWatch(WATCH_SERVICE_ADDED, sr);
    sr->state = COIL_STATE_INIT;
    setServiceState(sr, COIL_STATE_INIT, S_Init);
    return 0;
}

uint32_t coilNodeCleanup(coilServiceNode* sr) {
    COIL_DEBUG("%s() Key : Client %s - vlan %s", __func__, sr->hdr.clientId, sr->target.vlan);
    if (coilServiceIdNode* srId = findCoilServiceIdNode(sr->serviceId); srId != nullptr) {
        COIL_DEBUG("%s() sr %p srId %p coilGlobal.root1 %p coilGlobal.root2 %p\n", __func__, static_cast<void*>(sr),
                   static_cast<void*>(srId), coilGlobal.root1, coilGlobal.root2);
        coilRemoveServiceId(srId);
        std::free(srId);
    }
    for (coilPortControl *rec = coilPortControlGetFirst(), *next = nullptr; rec != nullptr; rec = next) {
        next = coilPortControlGetNext(rec);
        if (rec->sPtr != sr) continue;
        if (coilIsPrimary()) {
            const uint32_t portWord = coilPortWord(rec->inPif);
            vlanLibSetPortAdminState(&portWord, 1, 1);
            coilWatch(WATCH_PORT_ENABLED, sr, portWord);
        }
        coilPortControlDestroy(rec);
    }
    coilWatch(WATCH_SERVICE_REMOVED, sr);
    coilRemoveServiceNode(sr);
    coilFreeServiceNode(sr);
    coilGlobal.coilClients--;
    return coilGlobal.coilClients;
}

int enableCoilClient(uint32_t value) {
    if ((value & 0xffff) == coilGlobal.coilEnable) return 0;
    activateCoilService(value == 1 ? TRUE : FALSE);
    return 0;
}

void clearCoilCounters(void) {
    for (coilServiceNode* sr = coilFirstService(); sr != nullptr; sr = coilNextService(sr)) {
        sr->serviceStats.txpkts = 0;
        sr->serviceStats.rxpkts = 0;
    }
    coilGlobal.numPktsSent = 0;
    coilGlobal.numPktsRcvd = 0;
}
