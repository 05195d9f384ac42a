// The message server for client daemons: registration with the directory
// service, peers joining and dying, requests, and reports back to a peer.
#include "clients/coil_server.h"

#include <cstdint>
#include <cstring>

#include "clients/coil_client_msg.h"
#include "clients/coil_service.h"
#include "dispatch.h"
#include "frame/coil_log.h"

static constexpr const char* coilUnit = "coil_server";

ipmlHandle_t coilServerDsClient = nullptr;
uint16_t gCoilServerPort = 0;
ipmlHandle_t gCoilServerService = nullptr;
ipmlGroup_t gCoilServerGroup = 0;
bool gCoilClientsShareServices = false;

namespace {

dispatchServerRec_t coilServerRec;

void retryInOneSecond() {
    dispatchExecuteWorkItem(coilServerInit, nullptr, nullptr, dispatchPeriod_t{1, 0}, DISPATCH_ONCE);
}

int64_t monoUsec() {
    miraTimeval_t now{};
    getmonotimeofday(&now);
    return int64_t(now.tv_sec) * 1'000'000 + now.tv_usec;
}

bool operatorClient(const char* clientId) { return std::strcmp(clientId, "1") == 0 || std::strcmp(clientId, "2") == 0; }

// The service a peer may act on, or null: a client daemon's, registered by
// this peer (any peer's when services are shared).
coilServiceNode* peerService(coilServiceNode* sr, uint32_t peer) {
    if (sr == nullptr || sr->hdr.clientType != COIL_CLIENT_DAEMON || sr->peerId == 0) return nullptr;
    return sr->peerId == peer || gCoilClientsShareServices ? sr : nullptr;
}

void startClientPoll(coilServiceNode* sr) {
    sr->clientStartPending = 0;
    sr->clientStartUsec = monoUsec();
    sr->curState(sr, EV_CLIENT_START_POLL);
}

// A start that waited for its turn, if its service is still there and
// still waits.
int runPendingStart(void* serviceId, void*) {
    coilServiceIdNode* node = findCoilServiceIdNode(uint32_t(reinterpret_cast<uintptr_t>(serviceId)));
    if (node != nullptr && node->sr->clientStartPending) startClientPoll(node->sr);
    return 0;
}

// A client's poll starts at most once per interval: a Start Poll sooner
// than that after the last one takes effect (the service stops, its new
// parameters are kept) but the poll starts only when the interval is over.
void startPollInTurn(coilServiceNode* sr) {
    const int64_t interval = int64_t(sr->target.timeout > 0 ? sr->target.timeout : 1) * 1'000'000;
    const int64_t wait = sr->clientStartUsec == 0 ? 0 : sr->clientStartUsec + interval - monoUsec();
    if (wait <= 0) return startClientPoll(sr);
    COIL_TRACE("Start Poll [%s:%u] deferred by %lld us\n", sr->hdr.clientId, sr->hdr.vlanIfInstance,
               static_cast<long long>(wait));
    if (sr->clientStartPending) return;
    sr->clientStartPending = 1;
    dispatchExecuteWorkItem(runPendingStart, reinterpret_cast<void*>(uintptr_t(sr->serviceId)), nullptr,
                            dispatchPeriod_t{uint32_t(wait / 1'000'000), uint32_t(wait % 1'000'000)}, DISPATCH_ONCE);
}

}  // namespace

int coilServerInit(void*, void*) {
    COIL_TRACE("Attempting to register server");
    if (coilServerDsClient == nullptr) {
        coilServerDsClient = ipmlInitClient(1, 0, 0);
        if (coilServerDsClient == nullptr) {
            COIL_TRACE("Could not open IPML connection to DS\n");
            return 0;
        }
    }
    if (dsNBRegister(coilServerDsClient, "coil_server", coilServerCallback, "coil_server") != 0) {
        COIL_TRACE("Couldn't register server yet, sleeping 1 second\n");
        retryInOneSecond();
        return 0;
    }
    COIL_TRACE("COIL Server registration DONE\n");
    return 0;
}

void coilServerCallback(void*, dsRegistration_t* info, int status) {
    if (info == nullptr || status < 0) {
        COIL_TRACE("Failed to bring up server yet, retrying in 1 second");
        retryInOneSecond();
        return;
    }
    const uint16_t port = info->port;
    COIL_TRACE("COIL Server registered on port %d", port);
    if (gCoilServerPort != 0 && gCoilServerPort == port) return;
    gCoilServerPort = port;
    if (gCoilServerService != nullptr) {
        dispatchRemove(gCoilServerService, 0);
        ipmlClose(gCoilServerService);
        gCoilServerService = nullptr;
    }
    gCoilServerService = ipmlInitServerClient(0, port, 1, coilServerIPMLCallback, nullptr);
    if (gCoilServerService == nullptr) {
        COIL_TRACE("Failed to open IPML connection for server\n");
        return;
    }
    gCoilServerGroup = ipmlCreateGroup(gCoilServerService, 0);
    coilServerRec = dispatchServerRec_t{};
    coilServerRec.fd = gCoilServerService->fd;
    coilServerRec.handler = coilServerReceive;
    coilCopyText(coilServerRec.name, sizeof coilServerRec.name, "coilServerReceive");
    if (const int rc = dispatchAddServer(&coilServerRec); rc != 0)
        COIL_TRACE("Failed to register service with dispatcher (%d)", rc);
}

int coilServerFindPeer(uint32_t) { return 0; }
int coilServerInsertPeer(uint32_t) { return 0; }

int coilServerIPMLCallback(void*, int opcode, void* data, int length) {
    if (length != IPML_PEER_EVENT_SIZE) {
        COIL_TRACE("Illegal data length, got %d, expected %d\n", length, IPML_PEER_EVENT_SIZE);
        return -1;
    }
    if (data == nullptr) {
        COIL_TRACE("NULL pointer to data!\n");
        return -1;
    }
    uint32_t peer = 0;
    std::memcpy(&peer, data, sizeof peer);
    switch (opcode) {
        case IPML_PEER_NEW:
            COIL_TRACE("New peer %d\n", peer);
            if (coilServerFindPeer(peer) != 0) {
                COIL_TRACE("Duplicate peer %d, not adding\n", peer);
                return -1;
            }
            if (coilServerInsertPeer(peer) != 0) {
                COIL_TRACE("Unable to add peer %d\n", peer);
                return -1;
            }
            ipmlSetPeerOption(peer, 2, 1);
            ipmlSetPeerOption(peer, 3, 8192);
            ipmlAddPeerToGroup(gCoilServerGroup, peer);
            return 0;
        case IPML_PEER_DEAD:
            COIL_TRACE("Peer dead %d\n", peer);
            if (coilServerDeletePeer(peer) != 0) COIL_TRACE("Failed to delete peer %d\n", peer);
            ipmlRemovePeerFromGroup(gCoilServerGroup, peer);
            return 0;
        default:
            COIL_TRACE("Unknown opcode (%d)\n", opcode);
            return 0;
    }
}

int coilServerReceive(void*, uint32_t peer, bmPacket_t* packet, int length) {
    if (length > 0) {
        coilServerProcessMessage(peer, packet, length);
        if (packet != nullptr) bmFree(packet);
        return 0;
    }
    switch (length) {
        case -121:
        case -112:
        case -111:
        case -999:
            COIL_TRACE("unknown case %d", length);
            break;
        default:
            COIL_TRACE("Unknown callback code %d\n", length);
            break;
    }
    return 0;
}

int coilServerProcessMessage(uint32_t peer, bmPacket_t* packet, int) {
    if (packet == nullptr || packet->data == nullptr || packet->length == 0) {
        COIL_TRACE("IPML packet contained no data!\n");
        return 1;
    }
    // Whatever arrived is read as one whole message; missing bytes are zero.
    coilClientMsg msg{};
    coilClientMsgDecode(packet->data, packet->length, &msg);

    coilServiceNode request{};
    request.peerId = peer;
    request.hdr = msg.hdr;
    coilServiceNode* found = findCoilServiceNode(msg.hdr.clientId, msg.hdr.vlanIfInstance);
    coilServiceNode* sr = peerService(found, peer);
    const char* clientId = request.hdr.clientId;
    const uint32_t instance = request.hdr.vlanIfInstance;
    const uint32_t op = msg.hdr.msgType;
    if (operatorClient(clientId) || (found != nullptr && sr == nullptr)) {
        COIL_TRACE("Refused %d [%s:%u]: not a service of this client\n", op, clientId, instance);
        return 1;
    }
    switch (op) {
        case COIL_MSG_REGISTER:
            COIL_TRACE("Register %d [%s:%u]\n", op, clientId, instance);
            if (sr != nullptr) break;
            request.target = msg.target;
            return createCoilServiceNode(&request);
        case COIL_MSG_START_POLL:
            COIL_TRACE("Start Poll %d [%s:%u]\n", op, clientId, instance);
            if (sr == nullptr) break;
            coilStateChangeToInit(sr, 39);
            sr->serviceStats.txpkts = 0;
            sr->serviceStats.rxpkts = 0;
            sr->target.pollType = msg.target.pollType;
            sr->target.count = msg.target.count;
            sr->target.timeout = msg.target.timeout;
            PORTLIST_COPY(&sr->target.ports, &msg.target.ports);
            sr->target.numPorts = msg.target.numPorts;
            startPollInTurn(sr);
            break;
        case COIL_MSG_STOP_POLL:
            COIL_TRACE("Stop Poll %d [%s:%u]\n", op, clientId, instance);
            if (sr == nullptr) break;
            sr->clientStartPending = 0;
            sr->curState(sr, EV_CLIENT_STOP_POLL);
            break;
        case COIL_MSG_DEREGISTER:
            COIL_TRACE("DeRegister %d [%s:%u]\n", op, clientId, instance);
            if (sr == nullptr) break;
            sr->curState(sr, EV_CLIENT_DEREGISTER);
            coilNodeCleanup(sr);
            break;
        default:
            COIL_TRACE("Illegal opcode %d [%s:%u]\n", op, clientId, instance);
            return 1;
    }
    return 0;
}

int coilServerDeletePeer(uint32_t peer) {
    uint32_t count = 0;
    for (coilServiceNode* sr = coilFirstService(); sr != nullptr; sr = coilNextService(sr))
        if (sr->peerId == peer) count++;
    // Each removal restarts the walk: never step from a freed service.
    for (; count > 0; count--) {
        for (coilServiceNode* sr = coilFirstService(); sr != nullptr; sr = coilNextService(sr)) {
            if (sr->peerId != peer) continue;
            sr->curState(sr, EV_SERVICE_DELETE);
            coilNodeCleanup(sr);
            break;
        }
    }
    return 0;
}

int coilIpmlSend(const coilClientMsg* message, uint32_t length, uint32_t peerId) {
    if (peerId == 0) return 1;
    const uint32_t size = (length + 1) & ~1u;
    bmPacket_t* packet = bmAllocPacket(size, 32, 1);
    if (packet == nullptr) {
        COIL_TRACE("can not allocate packet\n");
        return 1;
    }
    std::memset(packet->data, 0, size);
    coilClientMsgEncode(message, packet->data);
    packet->length = size;
    const int rc = ipmlSend(peerId, packet, 0);
    if (rc < 0 && rc != IPML_QUEUED) {
        bmFree(packet);
        return 1;
    }
    return 0;
}
