// The daemon's configuration objects: the name tables handed to the backend
// library, the five object records with their presence bitmaps, their
// operations, and the get/set handlers that cmBackendAction dispatches to.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cmbackend.h"

// Ids of coilObjectInfoTable; entry id sits at index id - 1.
enum : uint32_t {
    COIL_ID_ACTION = 1,
    COIL_ID_CLEAR_COUNTER = 2,
    COIL_ID_CLIENT_IDENTIFIER = 3,
    COIL_ID_CLIENT_TYPE = 4,
    COIL_ID_CMD = 5,
    COIL_ID_DISABLE_PORT = 6,
    COIL_ID_DISABLE_PORT_DURATION = 7,
    COIL_ID_DISABLE_PORT_WAIT_TIME = 8,
    COIL_ID_DISABLED_PORT = 9,
    COIL_ID_COIL_CLIENTS = 10,
    COIL_ID_COIL_DEBUG = 11,
    COIL_ID_COIL_DISABLED_PORT_STATUS = 12,
    COIL_ID_COIL_GLOBAL_CFG = 13,
    COIL_ID_COIL_SERVICE_NODE = 14,
    COIL_ID_COIL_SERVICE_STATUS = 15,
    COIL_ID_ENABLE = 16,
    COIL_ID_GET = 17,
    COIL_ID_INTERVAL = 18,
    COIL_ID_MODULE_COIL = 19,
    COIL_ID_NUM_PORTS = 20,
    COIL_ID_POLL_COUNT = 21,
    COIL_ID_POLL_TYPE = 22,
    COIL_ID_PORTS = 23,
    COIL_ID_RETRY = 24,
    COIL_ID_ROW_STATUS = 25,
    COIL_ID_RXPKTS = 26,
    COIL_ID_SET = 27,
    COIL_ID_STATUS_FLAG = 28,
    COIL_ID_STATUS_STRING = 29,
    COIL_ID_TIME_DISABLED = 30,
    COIL_ID_TXPKTS = 31,
    COIL_ID_VLAN = 32,
    COIL_ID_VLAN_IF_INSTANCE = 33,
    COIL_ID_COUNT = 33,
};

// Type codes of the object records.
enum : uint32_t {
    COIL_TYPE_GLOBAL_CFG = 1,
    COIL_TYPE_DISABLED_PORT_STATUS = 2,
    COIL_TYPE_SERVICE_NODE = 3,
    COIL_TYPE_DEBUG = 4,
    COIL_TYPE_SERVICE_STATUS = 5,
};

extern const cmInfoEntry_t coilObjectInfoTable[COIL_ID_COUNT + 1];
extern const cmInfoEntry_t coilConfigObjectTable[3];
extern const cmInfoEntry_t coilEmptyObjectTable[1];

// The entry of an id of coilObjectInfoTable (get handlers give it to the
// reply node); null for an unknown id.
const cmInfoEntry_t* coilObjectInfoEntry(uint32_t id);

// Presence bitmaps: field k is present when bit k mod 8 of byte k div 8 is set.
inline bool coilFieldPresent(const uint8_t* bitmap, unsigned k) { return (bitmap[k / 8] >> (k % 8)) & 1u; }
inline void coilFieldSetPresent(uint8_t* bitmap, unsigned k) { bitmap[k / 8] |= uint8_t(1u << (k % 8)); }
inline void coilFieldClearPresent(uint8_t* bitmap, unsigned k) { bitmap[k / 8] &= uint8_t(~(1u << (k % 8))); }

// --- coilGlobalCfg (type 1) ---
enum {
    COIL_GCFG_ENABLE,
    COIL_GCFG_CLEAR_COUNTER,
    COIL_GCFG_RXPKTS,
    COIL_GCFG_ROW_STATUS,
    COIL_GCFG_DISABLE_PORT_WAIT_TIME,
    COIL_GCFG_TXPKTS,
    COIL_GCFG_COIL_CLIENTS,
    COIL_GCFG_FIELDS,
};
struct coilGlobalCfg_t {
    BOOLEAN_T enable;
    BOOLEAN_T clearCounter;
    uint32_t rxpkts;
    ACTION_T rowStatus;
    uint16_t disablePortWaitTime;
    uint32_t txpkts;
    uint16_t coilClients;
    coilGlobalCfg_t* next;
    uint8_t bitmap[1];
};

// --- coilDisabledPortStatus (type 2) ---
enum {
    COIL_DPS_DISABLED_PORT,
    COIL_DPS_TIME_DISABLED,
    COIL_DPS_DISABLE_PORT_DURATION,
    COIL_DPS_VLAN,
    COIL_DPS_FIELDS,
};
struct coilDisabledPortStatus_t {
    PORTMASK_T disabledPort;
    char timeDisabled[30];
    uint16_t disablePortDuration;
    char vlan[32];
    coilDisabledPortStatus_t* next;
    uint8_t bitmap[1];
};

// --- coilServiceNode (type 3) ---
enum {
    COIL_SN_VLAN_IF_INSTANCE,
    COIL_SN_CLIENT_IDENTIFIER,
    COIL_SN_DISABLE_PORT,
    COIL_SN_INTERVAL,
    COIL_SN_VLAN,
    COIL_SN_CLIENT_TYPE,
    COIL_SN_TXPKTS,
    COIL_SN_RETRY,
    COIL_SN_PORTS,
    COIL_SN_RXPKTS,
    COIL_SN_ROW_STATUS,
    COIL_SN_ACTION,
    COIL_SN_DISABLE_PORT_DURATION,
    COIL_SN_NUM_PORTS,
    COIL_SN_POLL_TYPE,
    COIL_SN_FIELDS,
};
struct coilServiceNode_t {
    uint32_t vlanIfInstance;
    char clientIdentifier[32];
    uint16_t disablePort;
    uint16_t interval;
    char vlan[33];
    uint16_t clientType;
    uint32_t txpkts;
    uint16_t retry;
    PORTLIST_T ports;
    uint32_t rxpkts;
    ACTION_T rowStatus;
    uint16_t action;
    uint16_t disablePortDuration;
    uint16_t numPorts;
    uint16_t pollType;
    coilServiceNode_t* next;
    uint8_t bitmap[2];
};

// --- coilDebug (type 4) ---
enum {
    COIL_DBG_CMD,
    COIL_DBG_DISABLE_PORT_WAIT_TIME,
    COIL_DBG_FIELDS,
};
struct coilDebug_t {
    int32_t cmd;
    uint16_t disablePortWaitTime;
    coilDebug_t* next;
    uint8_t bitmap[1];
};

// --- coilServiceStatus (type 5) ---
enum {
    COIL_SS_VLAN_IF_INSTANCE,
    COIL_SS_CLIENT_IDENTIFIER,
    COIL_SS_STATUS_FLAG,
    COIL_SS_POLL_COUNT,
    COIL_SS_VLAN,
    COIL_SS_STATUS_STRING,
    COIL_SS_FIELDS,
};
struct coilServiceStatus_t {
    uint32_t vlanIfInstance;
    char clientIdentifier[64];
    uint16_t statusFlag;
    uint16_t pollCount;
    char vlan[32];
    char statusString[256];
    coilServiceStatus_t* next;
    uint8_t bitmap[1];
};

// The bitmap bytes must hold every field.
static_assert(sizeof(coilGlobalCfg_t::bitmap) * 8 >= COIL_GCFG_FIELDS);
static_assert(sizeof(coilDisabledPortStatus_t::bitmap) * 8 >= COIL_DPS_FIELDS);
static_assert(sizeof(coilServiceNode_t::bitmap) * 8 >= COIL_SN_FIELDS);
static_assert(sizeof(coilDebug_t::bitmap) * 8 >= COIL_DBG_FIELDS);
static_assert(sizeof(coilServiceStatus_t::bitmap) * 8 >= COIL_SS_FIELDS);

// Record operations. _alloc: zero-filled, every bitmap bit set, or null.
// _construct: one attribute into the record, 0 or -1. _format: the record's
// XML appended to the request's output buffer (with the object's tags when
// info is given).
coilGlobalCfg_t* coilGlobalCfg_t_alloc(void);
void coilGlobalCfg_t_free(coilGlobalCfg_t* record);
int coilGlobalCfg_t_construct(coilGlobalCfg_t* record, cmObject_t* attribute);
void coilGlobalCfg_t_format(cmRequest_t* request, const cmInfoEntry_t* info, coilGlobalCfg_t* record);

coilDisabledPortStatus_t* coilDisabledPortStatus_t_alloc(void);
void coilDisabledPortStatus_t_free(coilDisabledPortStatus_t* record);
int coilDisabledPortStatus_t_construct(coilDisabledPortStatus_t* record, cmObject_t* attribute);
void coilDisabledPortStatus_t_format(cmRequest_t* request, const cmInfoEntry_t* info,
                                     coilDisabledPortStatus_t* record);

coilServiceNode_t* coilServiceNode_t_alloc(void);
void coilServiceNode_t_free(coilServiceNode_t* record);
int coilServiceNode_t_construct(coilServiceNode_t* record, cmObject_t* attribute);
void coilServiceNode_t_format(cmRequest_t* request, const cmInfoEntry_t* info, coilServiceNode_t* record);

coilDebug_t* coilDebug_t_alloc(void);
void coilDebug_t_free(coilDebug_t* record);
int coilDebug_t_construct(coilDebug_t* record, cmObject_t* attribute);
void coilDebug_t_format(cmRequest_t* request, const cmInfoEntry_t* info, coilDebug_t* record);

coilServiceStatus_t* coilServiceStatus_t_alloc(void);
void coilServiceStatus_t_free(coilServiceStatus_t* record);
int coilServiceStatus_t_construct(coilServiceStatus_t* record, cmObject_t* attribute);
void coilServiceStatus_t_format(cmRequest_t* request, const cmInfoEntry_t* info, coilServiceStatus_t* record);

// Handlers of the configuration manager unit (coil_cmbackend). Set handlers
// return 1 done, 0 failed; get handlers attach their record to the request's
// reply node and return 2 (record attached), 1 (no such entry) or 0 (failed),
// coilGlobalCfg_t_get 1 or 0.
int coilGlobalCfg_t_get(cmRequest_t* request);
int coilGlobalCfg_t_set(cmRequest_t* request, coilGlobalCfg_t* record);
int coilServiceNode_t_get(cmRequest_t* request, coilServiceNode_t* key);
int coilServiceNode_t_set(cmRequest_t* request, coilServiceNode_t* record);
int coilServiceStatus_t_get(cmRequest_t* request, coilServiceStatus_t* key);
int coilDisabledPortStatus_t_get(cmRequest_t* request, coilDisabledPortStatus_t* key);
int coilDebug_t_set(cmRequest_t* request, coilDebug_t* record);
