// The service registry: every service is in the key tree (client
// identifier, VLAN instance) and, through its identifier record, in the
// identifier tree that received PDUs are matched against.
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "engine/coil.h"
#include "frame/coil_log.h"
#include "miracommon.h"

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

// FNV-1a over the client identifier's first `length` characters, then the
// VLAN instance.
uint32_t keyTag(const char* clientId, size_t length, uint32_t vlanIfInstance) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < length; i++) h = (h ^ uint8_t(clientId[i])) * 16777619u;
    for (int shift = 0; shift < 32; shift += 8) h = (h ^ ((vlanIfInstance >> shift) & 0xff)) * 16777619u;
    return h;
}

uint32_t keyTag(const coilServiceNode* sr) {
    return keyTag(sr->hdr.clientId, strnlen(sr->hdr.clientId, COIL_CLIENT_ID_SIZE - 1), sr->hdr.vlanIfInstance);
}

}  // namespace

uint32_t coilClientServiceCount(void) { return clientServiceCounts().all; }

uint32_t coilPeerServiceCount(uint32_t peerId) {
    const auto& perPeer = clientServiceCounts().perPeer;
    auto it = perPeer.find(peerId);
    return it == perPeer.end() ? 0 : it->second;
}

void coilResetServiceCounts(void) { clientServiceCounts() = ClientServiceCounts{}; }

// Lookups go through the hash indexes; the trees keep the order that walks
// rely on. Both change together, only here.
int coilInsertServiceNode(coilServiceNode* sr) {
    const int rc = p2BtreeInsert(sr, &coilGlobal.root1, fcmpCoilServiceNodeKey);
    if (rc == 0) {
        coilIndexAdd(&coilGlobal.keyIndex, keyTag(sr), sr);
        countClientService(sr, true);
    }
    return rc;
}

void coilRemoveServiceNode(coilServiceNode* sr) {
    if (p2BtreeDelete(sr, &coilGlobal.root1) == 0)
        coilIndexRemove(&coilGlobal.keyIndex, keyTag(sr), sr);
    countClientService(sr, false);
}

// The identifier index leads to the service itself, which points back to
// its identifier record: a received frame reaches the service without
// loading the identifier record.
int coilInsertServiceId(coilServiceIdNode* id) {
    const int rc = p2BtreeInsert(id, &coilGlobal.root2, fcmpCoilServiceIdKey);
    if (rc == 0) {
        coilIndexAdd(&coilGlobal.idIndex, id->serviceId, id->sr);
        id->sr->idNode = id;
    }
    return rc;
}

void coilRemoveServiceId(coilServiceIdNode* id) {
    if (p2BtreeDelete(id, &coilGlobal.root2) != 0) return;
    coilIndexRemove(&coilGlobal.idIndex, id->serviceId, id->sr);
    id->sr->idNode = nullptr;
}

coilServiceNode* findCoilServiceNode(const char* clientId, uint32_t vlanIfInstance) {
    // The key is the identifier's first 31 characters, compared in place.
    const size_t length = strnlen(clientId, COIL_CLIENT_ID_SIZE - 1);
    return static_cast<coilServiceNode*>(
        coilIndexFind(&coilGlobal.keyIndex, keyTag(clientId, length, vlanIfInstance), [&](const void* record) {
            const auto* sr = static_cast<const coilServiceNode*>(record);
            return sr->hdr.vlanIfInstance == vlanIfInstance && sr->hdr.clientId[length] == '\0' &&
                   std::memcmp(sr->hdr.clientId, clientId, length) == 0;
        }));
}

coilServiceNode* findCoilServiceNextNode(const char* clientId, uint32_t vlanIfInstance) {
    coilServiceNode* sr = findCoilServiceNode(clientId, vlanIfInstance);
    return sr == nullptr ? nullptr : coilNextService(sr);
}

coilServiceNode* findCoilServiceFirstNode(void) { return coilFirstService(); }

coilServiceNode* coilFindServiceById(uint32_t serviceId) {
    // The tag is the identifier itself: a matching slot is the service.
    return static_cast<coilServiceNode*>(
        coilIndexFind(&coilGlobal.idIndex, serviceId, [](const void*) { return true; }));
}

coilServiceIdNode* findCoilServiceIdNode(uint32_t serviceId) {
    coilServiceNode* sr = coilFindServiceById(serviceId);
    return sr == nullptr ? nullptr : sr->idNode;
}

namespace {
miraRecordPool_t servicePool{sizeof(coilServiceNode)};
}  // namespace

coilServiceNode* coilAllocServiceNode(void) { return static_cast<coilServiceNode*>(miraPoolAlloc(&servicePool)); }

void coilFreeServiceNode(coilServiceNode* sr) { miraPoolFree(&servicePool, sr); }

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
        coilFreeServiceNode(sr);
        return nullptr;
    }
    return id;
}

bool coilIsPrimary(void) { return dmConfig.node_state == NM_STATE_PRIMARY; }
