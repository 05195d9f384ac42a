// VLAN manager client library of the platform: the records of VLANs, ports
// and trunks, lookups and walks over them, the administrative state of
// ports, port lists, and the VLAN manager's change notifications.
#pragma once
#include <cstdint>

struct vlanIf_t;
struct lif_t;
struct pif_t;
struct vpif_t;

// VLAN interface. The first word belongs to the client (the daemon keeps
// the id of its receive filter there, 0 when none).
struct vlanIf_t {
    uint32_t clientWord;
    char name[32];  // at most 31 characters, terminated
    uint32_t vlanIfInstance;
    uint16_t tag;      // 802.1Q VLAN identifier
    uint8_t numVpifs;  // ports in the VLAN
};

// Port-instance word of a lif or pif: top byte a kind, next byte the slot,
// low 16 bits the port. Slot and port count only when the kind is 0.
inline uint16_t portInstanceSlot(uint32_t word) { return (word >> 24) ? 0 : (word >> 16) & 0xff; }
inline uint16_t portInstancePort(uint32_t word) { return (word >> 24) ? 0 : word & 0xffff; }

// Logical port: a single port or a trunk.
struct lif_t {
    uint32_t portInstance;
    uint16_t slot;  // display slot and port numbers
    uint16_t port;
    pif_t* pif;     // its physical port; null for a logical port that has none
};

// Physical port, a member of one logical port.
struct pif_t {
    uint32_t portInstance;
    lif_t* lif;
};

// Membership of one logical port in one VLAN.
struct vpif_t {
    lif_t* lif;
    vlanIf_t* vlanIf;
    uint32_t egState;
    uint32_t inState;
};

// Port list: a first word of the library's, then 32 groups of eight words,
// one group per slot (group (slot - dmGetSlotFirst()) mod 32); port p of a
// slot is bit p-1 of the group counted from the most significant bit of its
// first word.
struct PORTLIST_T {
    uint32_t word0;
    uint32_t group[32][8];
};
static_assert(sizeof(PORTLIST_T) == 1028);

typedef uint32_t PORTMASK_T;

// Lookups: 1 on success, another value on failure.
int vlanLibGetVlanIfByName(const char* name, vlanIf_t** out);
int vlanLibGetVlanIfByInstance(uint32_t vlanIfInstance, vlanIf_t** out);
// 1 when slot and port are valid; *out may still be null (no such port).
int vlanLibGetLifBySlotPort(uint16_t slot, uint16_t port, lif_t** out);

// A port's memberships, one per VLAN; null at the end.
vpif_t* vlanLibGetFirstVpifOnPort(lif_t* lif);
vpif_t* vlanLibGetNextVpifOnPort(lif_t* lif, vlanIf_t* current);
vpif_t* getFirstVpifOnPort(lif_t* lif);
vpif_t* getNextVpifOnPort(lif_t* lif, vlanIf_t* current);
// A VLAN's memberships; null at the end.
vpif_t* getFirstVpifOnVlan(vlanIf_t* vlanIf);
vpif_t* getNextVpifOnVlan(vlanIf_t* vlanIf, lif_t* current);

// The vpif of a port word (slot cut to 8 bits) in a VLAN, or null.
vpif_t* vlanLibGetVpifByVlanInstanceAndPortInstance(uint32_t vlanIfInstance, uint32_t portWord);
vpif_t* vlanLibGetVpifByVlanSlotPort(vlanIf_t* vlanIf, lif_t* lif);
vpif_t* getVpifByVlanSlotPort(vlanIf_t* vlanIf, lif_t* lif);

int vlanLibVpifUpAndForwarding(vpif_t* vpif);
int vlanLibIsPortLinkUp(uint32_t portWord);
int isPortATrunk(lif_t* lif);
int isPortPartOfTrunk(lif_t* lif);
pif_t* vlanLibGetActivePortOnLif(lif_t* lif);
pif_t* getFirstPifOnLif(lif_t* lif);
pif_t* getNextPifOnLif(lif_t* lif, pif_t* current);

// Sets the administrative state (0 disabled, 1 enabled) of the listed ports
// (port words). The VLAN manager reports the change later. 0 on success.
int vlanLibSetPortAdminState(const uint32_t* ports, int count, int state);

// Next port word after prev (-1 to start); -1 after the last.
int32_t PORTLIST_GETNEXTPORT(const PORTLIST_T* list, int32_t prev);
void PORTLIST_COPY(PORTLIST_T* dst, const PORTLIST_T* src);

// Change notifications. The handler table is a record of 1712 bytes of
// 32-bit slots on the switch; here one function slot per 4-byte offset.
typedef int (*vlanMgrDelVlanFn_t)(const char* name, uint32_t vlanIfInstance);
typedef int (*vlanMgrPortFn_t)(const char* vlanName, uint32_t vlanIfInstance, uint32_t ifIndex, uint32_t flags,
                               uint32_t portWord);
typedef int (*vlanMgrTagFn_t)(const char* vlanName, uint32_t vlanIfInstance, uint32_t oldTag, uint32_t newTag);
typedef int (*vlanMgrPortStateFn_t)(const uint32_t* ports, uint32_t state, uint32_t count);
typedef int (*vlanMgrRenameFn_t)(const char* oldName, const char* newName, uint32_t vlanIfInstance);

enum {
    VLANMGR_TABLE_SIZE = 1712,
    VLANMGR_DEL_VLAN = 1088,
    VLANMGR_ADD_PORT = 1092,
    VLANMGR_REM_PORT = 1096,
    VLANMGR_CFG_TAG = 1108,
    VLANMGR_CFG_PORT_STATE = 1184,
    VLANMGR_RENAME = 1316,
};

typedef void (*vlanMgrSlot_t)(void);
struct vlanMgrHandlers_t {
    vlanMgrSlot_t slot[VLANMGR_TABLE_SIZE / 4];
};
// The slot of a handler at a byte offset of the switch's table.
inline vlanMgrSlot_t& vlanMgrSlot(vlanMgrHandlers_t& table, int byteOffset) { return table.slot[byteOffset / 4]; }

int connectToVlanMgr(int a, vlanMgrHandlers_t* handlers);
