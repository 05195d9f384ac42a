// The loop-detection engine's records: the global record, the service
// record with its identifier record, the port control record, and the
// receive record; the engine's events, states and operations.
#pragma once
#include <cstddef>
#include <cstdint>

#include "dispatch.h"
#include "dm.h"
#include "engine/coil_index.h"
#include "kytimer.h"
#include "miracommon.h"
#include "p2btree.h"
#include "vlanlib.h"

// A (slot, port) pair; read as one 32-bit word the slot is the upper half.
struct coilSlotPort_t {
    uint16_t slot;
    uint16_t port;
};
inline uint32_t coilPortWord(coilSlotPort_t p) { return (uint32_t(p.slot) << 16) | p.port; }

enum { COIL_CLIENT_ID_SIZE = 32, COIL_VLAN_NAME_SIZE = 32, COIL_STATUS_STRING_SIZE = 256 };

// Client types.
enum { COIL_CLIENT_DAEMON = 1, COIL_CLIENT_OPERATOR = 2 };
// Poll types.
enum { COIL_POLL_ONESHOT = 1, COIL_POLL_PERIODIC = 2 };
// Report actions.
enum { COIL_ACTION_TEXT = 1, COIL_ACTION_LOG = 2, COIL_ACTION_TEXT_LOG = 3, COIL_ACTION_TRAP = 4, COIL_ACTION_LOG_TRAP = 5 };

// What to watch and what to do on a loop (1116 bytes, also the body of a
// client message).
struct coilTarget_t {
    uint32_t vlanIfInstance;
    uint32_t numPorts;
    PORTLIST_T ports;
    uint32_t pollType;
    uint32_t count;
    uint32_t timeout;
    uint32_t action;
    uint32_t disablePort;
    uint32_t disablePortDuration;
    uint8_t reserved1[4];
    char vlan[COIL_VLAN_NAME_SIZE];
    uint8_t noVpifs;
    uint8_t reserved2;
    uint16_t extTag;
    coilSlotPort_t inPif;
    coilSlotPort_t inLif;
    uint32_t txVlanId;
    uint32_t txPortId;
};
static_assert(sizeof(coilTarget_t) == 1116);
static_assert(offsetof(coilTarget_t, ports) == 8);
static_assert(offsetof(coilTarget_t, pollType) == 1036);
static_assert(offsetof(coilTarget_t, disablePortDuration) == 1056);
static_assert(offsetof(coilTarget_t, vlan) == 1064);
static_assert(offsetof(coilTarget_t, noVpifs) == 1096);
static_assert(offsetof(coilTarget_t, extTag) == 1098);
static_assert(offsetof(coilTarget_t, inPif) == 1100);
static_assert(offsetof(coilTarget_t, inLif) == 1104);
static_assert(offsetof(coilTarget_t, txVlanId) == 1108);
static_assert(offsetof(coilTarget_t, txPortId) == 1112);

// Per-service statistics (292 bytes, copied whole into checkpoints).
struct coilServiceStats_t {
    uint32_t txpkts;
    uint32_t rxpkts;
    uint8_t reserved1[8];
    uint32_t stateTime;
    uint8_t reserved2[4];
    uint32_t pollCount;
    uint32_t detectCount;
    uint32_t statusFlag;
    char statusString[COIL_STATUS_STRING_SIZE];
};
static_assert(sizeof(coilServiceStats_t) == 292);
static_assert(offsetof(coilServiceStats_t, stateTime) == 16);
static_assert(offsetof(coilServiceStats_t, pollCount) == 24);
static_assert(offsetof(coilServiceStats_t, statusString) == 36);

// The service header (56 bytes): the same fields begin every client message
// and every service checkpoint record.
struct coilServiceHeader_t {
    char clientId[COIL_CLIENT_ID_SIZE];
    uint32_t vlanIfInstance;
    uint8_t clientType;
    uint8_t reserved[3];
    uint32_t msgType;
    uint32_t vr;
    uint32_t seq;
    uint32_t statusFlag;
};
static_assert(sizeof(coilServiceHeader_t) == 56);
static_assert(offsetof(coilServiceHeader_t, vlanIfInstance) == 32);
static_assert(offsetof(coilServiceHeader_t, clientType) == 36);
static_assert(offsetof(coilServiceHeader_t, msgType) == 40);
static_assert(offsetof(coilServiceHeader_t, statusFlag) == 52);

// Service states.
enum { COIL_STATE_INVALID = 0, COIL_STATE_INIT = 1, COIL_STATE_LOOP_DETECTION = 2 };

// State machine events.
enum : uint32_t {
    EV_ENTRY_PRIMARY = 1,
    EV_ENTRY_NONPRIMARY = 2,
    EV_DEACTIVATE = 17,
    EV_SERVICE_DELETE = 19,
    EV_START = 20,
    EV_CLIENT_DEREGISTER = 33,
    EV_CLIENT_START_POLL = 34,
    EV_CLIENT_STOP_POLL = 35,
    EV_LOOP_DETECTED = 36,
    EV_LD_TIMER_EXPIRY = 37,
    EV_POLL_TIMER_EXPIRY = 38,
};

// Poll actions of the next poll tick.
enum { COIL_POLL_ACTION_NONE = 0, COIL_POLL_ACTION_SEND = 1, COIL_POLL_ACTION_CLOSE = 2 };

struct coilServiceNode;
typedef void (*coilStateHandler_t)(coilServiceNode* sr, uint32_t event);

// How getPortStr shows a port: nothing (unknown port), its number alone
// (a switch of one slot) or slot and number.
enum { COIL_PORT_TEXT_NONE = 0, COIL_PORT_TEXT_PORT = 1, COIL_PORT_TEXT_SLOT_PORT = 2 };
struct coilPortText_t {
    uint8_t form;
    uint16_t slot;
    uint16_t port;
};

// A report's status text that is owed but not yet written: what it will
// say, fixed when the report was made. Event 0: nothing is owed.
struct coilOwedText_t {
    uint32_t pollCount;
    uint32_t detectCount;
    coilPortText_t ingress;
    uint16_t event;
};
static_assert(sizeof(coilOwedText_t) == 16);

struct coilServiceIdNode;

// One loop-detection service; its address is its node in the key tree.
// The header, target and statistics keep the layouts the messages and
// checkpoints carry; the daemon's own fields sit between them so that a
// received frame reads and writes three lines of the record: the header's
// line with the state handler and the report's fields, and the two lines
// from the target's poll type to the statistics' status flag.
struct coilServiceNode {
    p2BtreeNode_t treeNode;
    coilServiceHeader_t hdr;
    uint32_t peerId;
    uint32_t serviceId;
    coilStateHandler_t curState;
    miraTimeval_t lastReportTime;
    // A loop storm reports many times a second and the text is read rarely:
    // reports leave it owed, and coilStatusText writes it when it is read.
    coilOwedText_t owedText;
    kyTimerHandle_t ldTimer;
    kyTimerHandle_t pollTimer;
    kyTimerHandle_t cleanupTimer;
    // Start Poll from a client daemon: when it last started the poll
    // (monotonic microseconds, 0 never), and whether a start waits for its turn.
    int64_t clientStartUsec;
    coilServiceIdNode* idNode;  // its identifier record while in the identifier tree
    uint8_t pollAction;
    uint8_t state;
    uint8_t prevState;
    uint8_t clientStartPending;
    uint8_t targetLinePad[8];
    coilTarget_t target;
    coilServiceStats_t serviceStats;
};
static_assert(offsetof(coilServiceNode, treeNode) == 0);

// The cache lines of a record that starts on a line (coilAllocServiceNode)
// which each received frame touches: three.
constexpr size_t coilLineOf(size_t offset) { return offset / 64; }
static_assert(coilLineOf(offsetof(coilServiceNode, hdr.vlanIfInstance)) ==
              coilLineOf(offsetof(coilServiceNode, owedText) + sizeof(coilOwedText_t) - 1));
static_assert(coilLineOf(offsetof(coilServiceNode, target.pollType)) + 1 ==
              coilLineOf(offsetof(coilServiceNode, serviceStats.statusFlag) + 3));

// A zeroed service record for the key tree, freed with coilFreeServiceNode.
// Aligned to a cache line, so that what each received frame reads and
// writes (the lines coilPrefetchForReceive names) lies on three lines.
coilServiceNode* coilAllocServiceNode(void);
void coilFreeServiceNode(coilServiceNode* sr);
// Starts loading those lines, for a frame that names the service: the
// loads overlap other work instead of following one another.
inline void coilPrefetchForReceive(const coilServiceNode* sr) {
    __builtin_prefetch(&sr->hdr.clientType, 1);
    __builtin_prefetch(&sr->target.pollType, 1);
    __builtin_prefetch(&sr->serviceStats.statusFlag, 1);
}

// A service's entry in the identifier tree.
struct coilServiceIdNode {
    p2BtreeNode_t treeNode;
    uint32_t serviceId;
    coilServiceNode* sr;
};
static_assert(offsetof(coilServiceIdNode, treeNode) == 0);

// One physically disabled port. Its port (inPif) is its key in the index
// beside the list: change it only while the record is out of the list.
struct coilPortControl {
    coilPortControl* next;  // older
    coilPortControl* prev;  // newer; null for the head
    coilSlotPort_t inLif;
    coilSlotPort_t inPif;
    uint32_t txVlanId;
    uint32_t txPortId;
    uint32_t id;
    coilServiceNode* sPtr;
    uint32_t timeDisabled;
    kyTimerHandle_t tPtr;
};

// The daemon's one global record.
struct coilGlobal_t {
    void* root1;  // services by key
    void* root2;  // identifier records by serviceId
    kyTimerCtx_t timerCtx;
    coilPortControl* portControlHead;
    uint32_t currSeqNum;
    uint32_t gServiceId;
    uint8_t gSystemMac[6];
    int32_t gCoilRxTxFd;
    uint8_t gCoilDa[6];
    uint32_t numPktsSent;
    uint32_t numPktsRcvd;
    uint32_t txPduFailed;
    uint32_t rxPduFailed;
    dispatchHandle_t timerWorkItem;
    uint32_t coilClients;
    uint32_t coilEnable;
    uint16_t disablePortWaitTime;
    // Hash indexes beside the two trees, kept by the registry's insert and
    // remove operations: services by key, and services by the serviceId of
    // their identifier records.
    coilIndex_t keyIndex;
    coilIndex_t idIndex;
    // The port control list's records by port word, each port's newest.
    coilIndex_t portControlIndex;
};
extern coilGlobal_t coilGlobal;
extern uint32_t g_pNodeId;

// PDU buffer: the frame length, then the frame.
enum { COIL_PDU_FRAME_SPACE = 64, COIL_PDU_LENGTH = 62 };
struct coilPduBuf_t {
    uint32_t length;
    uint8_t frame[COIL_PDU_FRAME_SPACE];
};

// The receive record (116 bytes; also the payload of a kind-0 checkpoint).
struct coilRecvPdu_t {
    char vlanName[COIL_VLAN_NAME_SIZE];
    uint32_t vlanIfInstance;
    uint32_t rxInfo;
    coilSlotPort_t inPif;
    coilSlotPort_t inLif;
    int32_t rxLength;
    uint8_t frame[COIL_PDU_FRAME_SPACE];
};
static_assert(sizeof(coilRecvPdu_t) == 116);
static_assert(offsetof(coilRecvPdu_t, vlanIfInstance) == 32);
static_assert(offsetof(coilRecvPdu_t, inPif) == 40);
static_assert(offsetof(coilRecvPdu_t, inLif) == 44);
static_assert(offsetof(coilRecvPdu_t, rxLength) == 48);
static_assert(offsetof(coilRecvPdu_t, frame) == 52);
extern coilRecvPdu_t coilRecvPdu;

// Copies at most size-1 characters and always terminates.
void coilCopyText(char* dst, size_t size, const char* src);

// --- Registry (coil_lib) ---
int fcmpCoilServiceNodeKey(const void* a, const void* b);
int fcmpCoilServiceIdKey(const void* a, const void* b);
int coilInsertServiceNode(coilServiceNode* sr);
void coilRemoveServiceNode(coilServiceNode* sr);
int coilInsertServiceId(coilServiceIdNode* id);
void coilRemoveServiceId(coilServiceIdNode* id);
coilServiceNode* findCoilServiceNode(const char* clientId, uint32_t vlanIfInstance);
coilServiceNode* findCoilServiceNextNode(const char* clientId, uint32_t vlanIfInstance);
coilServiceNode* findCoilServiceFirstNode(void);
coilServiceIdNode* findCoilServiceIdNode(uint32_t serviceId);
// The service of that identifier record, straight from the index.
coilServiceNode* coilFindServiceById(uint32_t serviceId);
// Next service identifier: 1 .. 0xFFFFFFFE, then 1 again.
uint32_t coilNextServiceId(void);
// Enters a service already in the key tree, with its serviceId set, in the
// identifier tree. When the identifier is still held, frees the identifier
// record, removes the service from the key tree, frees it and returns null.
coilServiceIdNode* coilEnterServiceId(coilServiceNode* sr);
// Services of client daemons (clientType 1) in the key tree: in all, and
// those of one peer (a client daemon's connection; 0 for the ones an
// operator request created). Kept as services enter and leave the tree.
uint32_t coilClientServiceCount(void);
uint32_t coilPeerServiceCount(uint32_t peerId);
void coilResetServiceCounts(void);
// Walk helpers over the key tree.
inline coilServiceNode* coilFirstService(void) { return static_cast<coilServiceNode*>(p2BtreeFirst(&coilGlobal.root1)); }
inline coilServiceNode* coilNextService(coilServiceNode* sr) { return static_cast<coilServiceNode*>(p2BtreeNext(sr)); }

// --- Packet interface (coil_lib) ---
int coilPktIntfInit(void);
uint32_t coilAttachPktFilter(vlanIf_t* vlanIf);
int coilDeAttachPktFilter(vlanIf_t* vlanIf);
int installCpuFdbEntry(uint32_t vlanIfInstance, uint16_t tag, int add);
int coilFdbInit(void);
int coil_fdb_CB(int event, ...);
int rxCoilPdu(int fd, void* context, int a, int b, int cond);

// --- PDU (coil_pdu) ---
int coilBuildPdu(const coilTarget_t* target, uint32_t serviceId, coilPduBuf_t* frame);
int coilVerifyTlv(const uint8_t** value, uint16_t* valueLength);
int coilSendPdu(coilServiceNode* sr, coilPduBuf_t* frame);
int coilTransmitPdu(coilPduBuf_t* frame, uint32_t vlanIfInstance, uint32_t txPort, uint32_t kind);
int coilProcessPdu(const uint8_t* value);
// The same two steps with one identifier search per frame: verification
// hands the service it found (set whenever it returns 0) to matching,
// which would otherwise search again.
int coilVerifyTlvOf(const uint8_t** value, uint16_t* valueLength, coilServiceNode** found);
int coilProcessPduOf(const uint8_t* value, coilServiceNode* sr);
// Verification, then on acceptance matching, of the frame in coilRecvPdu.
int coilVerifyAndProcessPdu(void);
void recvPduCheckpoint(const coilRecvPdu_t* record);

// --- State machine and timers (coil_state, coil_lib) ---
void setServiceState(coilServiceNode* sr, uint8_t state, coilStateHandler_t handler);
void coilStateChangeToInit(coilServiceNode* sr, uint32_t event);
void S_Init(coilServiceNode* sr, uint32_t event);
void S_LoopDetection(coilServiceNode* sr, uint32_t event);
void startCoilPoll(coilServiceNode* sr);
void stopServiceTimers(coilServiceNode* sr);
void coilStartPollTimer(coilServiceNode* sr);
void coilStopPollTimer(coilServiceNode* sr);
void coilStartLDTimer(coilServiceNode* sr);
void coilStopLDTimer(coilServiceNode* sr);
void startSrCleanupTimer(coilServiceNode* sr);
void stopSrCleanupTimer(coilServiceNode* sr);
void coilPollTimerExpiry(void* sr);
void coilLDTimerExpiry(void* sr);
void coilSrCleanupTimerExpiry(void* sr);
const char* coilStateName(uint8_t state);

// --- Reporting (coil_state) ---
int reportCoilStatus(coilServiceNode* sr, uint32_t event);
void printCoilReport(coilServiceNode* sr, uint32_t event);
// The service's status text (serviceStats.statusString), written first when
// a report left it owed. Every reader of the text goes through here.
const char* coilStatusText(coilServiceNode* sr);
// Forgets an owed text, for writers of the whole statistics record.
inline void coilForgetOwedText(coilServiceNode* sr) { sr->owedText.event = 0; }
int generateSnmpTrap(coilServiceNode* sr, uint32_t event);
const char* getPortStr(uint32_t slot, uint32_t port);

// --- Port control (coil_lib, coil_state) ---
coilPortControl* coilPortControlGetFirst(void);
coilPortControl* coilPortControlGetNext(coilPortControl* rec);
coilPortControl* coilPortControlGet(uint32_t portInstance);
int coilPortControl_node_insert(coilPortControl* rec);
int coilPortControl_node_remove(coilPortControl* rec);
coilPortControl* coilPortControlCreate(coilServiceNode* sr);
void coilPortControlDestroy(coilPortControl* rec);
int coilPortControl_validate(coilServiceNode* sr);
int coilControlPortDisable(coilServiceNode* sr, uint32_t event);
// Tells the platform's watch service (watch.h) what happened to a service.
void coilWatch(uint32_t kind, const coilServiceNode* sr, uint32_t portWord = 0, uint32_t egressWord = 0,
               uint32_t hold = 0);
int coilStartPortDisableHoldTimer(coilPortControl* rec, uint32_t seconds);
int coilStopPortDisableHoldTimer(coilPortControl* rec);
void coilPortDisableHoldTimerExpiry(void* rec);

// True when this module is the primary (node state 6).
bool coilIsPrimary(void);
