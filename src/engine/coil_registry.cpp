// The service registry: every service is in the key tree (client
// identifier, VLAN instance) and, through its identifier record, in the
// identifier tree that received PDUs are matched against.
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "engine/coil.h"
#include "frame/coil_log.h"

static constexpr const char* coilUnit = "coil_lib";

coilGlobal_t coilGlobal;

int fcmpCoilServiceNodeKey(const void* a, const void* b) {
    const auto* x = static_cast<const coilServiceNode*>(a);
    const auto* y = static_cast<const coilServiceNode*>(b);
    const int byClient = std::strcmp(x->hdr.clientId, y->hdr.clientId);
    if (byClient != 0) return byClient;
    if (x->hdr.vlanIfInstance > y->hdr.vlanIfInstance) return 1;
    if (x->hdr.vlanIfInstance < y->hdr.vlanIfInstance) return -1;
    return 0;
}

int fcmpCoilServiceIdKey(const void* a, const void* b) {
    const auto* x = static_cast<const coilServiceIdNode*>(a);
    const auto* y = static_cast<const coilServiceIdNode*>(b);
    if (x->serviceId < y->serviceId) return -1;
    if (x->serviceId > y->serviceId) return 1;
    return 0;
}

namespace {

struct ClientServiceCounts {
    uint32_t all = 0;
    std::unordered_map<uint32_t, uint32_t> perPeer;
};

ClientServiceCounts& clientServiceCounts() {
    static ClientServiceCounts counts;
    return counts;
}

void countClientService(const coilServiceNode* sr, bool added) {
    if (sr->hdr.clientType != COIL_CLIENT_DAEMON) return;
    ClientServiceCounts& c = clientServiceCounts();
    if (added) {
        c.all++;
        c.perPeer[sr->peerId]++;
        return;
    }
    if (c.all > 0) c.all--;
    auto it = c.perPeer.find(sr->peerId);
    if (it != c.perPeer.end() && --it->second == 0) c.perPeer.erase(it);
}

}  // namespace

int coilInsertServiceNode(coilServiceNode* sr) {
    const int rc = p2BtreeInsert(sr, &coilGlobal.root1, fcmpCoilServiceNodeKey);
    if (rc == 0) countClientService(sr, true);
    return rc;
}

void coilRemoveServiceNode(coilServiceNode* sr) {
    p2BtreeDelete(sr, &coilGlobal.root1);
    countClientService(sr, false);
}

uint32_t coilClientServiceCount(void) { return clientServiceCounts().all; }

uint32_t coilPeerServiceCount(uint32_t peerId) {
    const auto& perPeer = clientServiceCounts().perPeer;
    auto it = perPeer.find(peerId);
    return it == perPeer.end() ? 0 : it->second;
}

void coilResetServiceCounts(void) { clientServiceCounts() = ClientServiceCounts{}; }

int coilInsertServiceId(coilServiceIdNode* id) { return p2BtreeInsert(id, &coilGlobal.root2, fcmpCoilServiceIdKey); }

void coilRemoveServiceId(coilServiceIdNode* id) { p2BtreeDelete(id, &coilGlobal.root2); }

coilServiceNode* findCoilServiceNode(const char* clientId, uint32_t vlanIfInstance) {
    // Only the key fields are set: the comparison reads nothing else, and a
    // whole zeroed record would cost more than the search.
    coilServiceNode key;
    coilCopyText(key.hdr.clientId, sizeof key.hdr.clientId, clientId);
    key.hdr.vlanIfInstance = vlanIfInstance;
    return static_cast<coilServiceNode*>(findNode(&key, coilGlobal.root1, fcmpCoilServiceNodeKey));
}

coilServiceNode* findCoilServiceNextNode(const char* clientId, uint32_t vlanIfInstance) {
    coilServiceNode* sr = findCoilServiceNode(clientId, vlanIfInstance);
    return sr == nullptr ? nullptr : coilNextService(sr);
}

coilServiceNode* findCoilServiceFirstNode(void) { return coilFirstService(); }

coilServiceIdNode* findCoilServiceIdNode(uint32_t serviceId) {
    coilServiceIdNode key{};
    key.serviceId = serviceId;
    return static_cast<coilServiceIdNode*>(findNode(&key, coilGlobal.root2, fcmpCoilServiceIdKey));
}

uint32_t coilNextServiceId(void) {
    coilGlobal.gServiceId = coilGlobal.gServiceId == 0xFFFFFFFEu ? 1 : coilGlobal.gServiceId + 1;
    return coilGlobal.gServiceId;
}

coilServiceIdNode* coilEnterServiceId(coilServiceNode* sr) {
    auto* id = static_cast<coilServiceIdNode*>(std::calloc(1, sizeof(coilServiceIdNode)));
    coilAssert(id != nullptr);
    id->serviceId = sr->serviceId;
    id->sr = sr;
    if (coilInsertServiceId(id) != 0) {
        // The identifier is still held by a live service: undo the creation.
        std::free(id);
        coilRemoveServiceNode(sr);
        std::free(sr);
        return nullptr;
    }
    return id;
}

bool coilIsPrimary(void) { return dmConfig.node_state == NM_STATE_PRIMARY; }
