// The name tables handed to the configuration backend library, and the
// application start and stop that hand them over.
#include "clients/coil_objdef.h"

#define COIL_ATTR(name, id) {name, id, CM_INFO_ATTRIBUTE, 0}

const cmInfoEntry_t coilObjectInfoTable[COIL_ID_COUNT + 1] = {
    COIL_ATTR("action", COIL_ID_ACTION),
    COIL_ATTR("clearCounter", COIL_ID_CLEAR_COUNTER),
    COIL_ATTR("clientIdentifier", COIL_ID_CLIENT_IDENTIFIER),
    COIL_ATTR("clientType", COIL_ID_CLIENT_TYPE),
    COIL_ATTR("cmd", COIL_ID_CMD),
    COIL_ATTR("disablePort", COIL_ID_DISABLE_PORT),
    COIL_ATTR("disablePortDuration", COIL_ID_DISABLE_PORT_DURATION),
    COIL_ATTR("disablePortWaitTime", COIL_ID_DISABLE_PORT_WAIT_TIME),
    COIL_ATTR("disabledPort", COIL_ID_DISABLED_PORT),
    COIL_ATTR("coilClients", COIL_ID_COIL_CLIENTS),
    {"coilDebug", COIL_ID_COIL_DEBUG, CM_INFO_OBJECT, COIL_TYPE_DEBUG},
    {"coilDisabledPortStatus", COIL_ID_COIL_DISABLED_PORT_STATUS, CM_INFO_OBJECT, COIL_TYPE_DISABLED_PORT_STATUS},
    {"coilGlobalCfg", COIL_ID_COIL_GLOBAL_CFG, CM_INFO_OBJECT, COIL_TYPE_GLOBAL_CFG},
    {"coilServiceNode", COIL_ID_COIL_SERVICE_NODE, CM_INFO_OBJECT, COIL_TYPE_SERVICE_NODE},
    {"coilServiceStatus", COIL_ID_COIL_SERVICE_STATUS, CM_INFO_OBJECT, COIL_TYPE_SERVICE_STATUS},
    COIL_ATTR("enable", COIL_ID_ENABLE),
    {"get", COIL_ID_GET, CM_INFO_METHOD, 0},
    COIL_ATTR("interval", COIL_ID_INTERVAL),
    {"module_coil", COIL_ID_MODULE_COIL, CM_INFO_MODULE, 0},
    COIL_ATTR("numPorts", COIL_ID_NUM_PORTS),
    COIL_ATTR("pollCount", COIL_ID_POLL_COUNT),
    COIL_ATTR("pollType", COIL_ID_POLL_TYPE),
    COIL_ATTR("ports", COIL_ID_PORTS),
    COIL_ATTR("retry", COIL_ID_RETRY),
    COIL_ATTR("rowStatus", COIL_ID_ROW_STATUS),
    COIL_ATTR("rxpkts", COIL_ID_RXPKTS),
    {"set", COIL_ID_SET, CM_INFO_METHOD, 0},
    COIL_ATTR("statusFlag", COIL_ID_STATUS_FLAG),
    COIL_ATTR("statusString", COIL_ID_STATUS_STRING),
    COIL_ATTR("timeDisabled", COIL_ID_TIME_DISABLED),
    COIL_ATTR("txpkts", COIL_ID_TXPKTS),
    COIL_ATTR("vlan", COIL_ID_VLAN),
    COIL_ATTR("vlanIfInstance", COIL_ID_VLAN_IF_INSTANCE),
    {nullptr, 0, 0, 0},
};

#undef COIL_ATTR

// The objects that make up stored configuration.
const cmInfoEntry_t coilConfigObjectTable[3] = {
    {"coilGlobalCfg", COIL_ID_COIL_GLOBAL_CFG, CM_INFO_OBJECT, COIL_TYPE_GLOBAL_CFG},
    {"coilServiceNode", COIL_ID_COIL_SERVICE_NODE, CM_INFO_OBJECT, COIL_TYPE_SERVICE_NODE},
    {nullptr, 0, 0, 0},
};

const cmInfoEntry_t coilEmptyObjectTable[1] = {
    {nullptr, 0, 0, 0},
};

const cmInfoEntry_t* coilObjectInfoEntry(uint32_t id) {
    if (id < 1 || id > COIL_ID_COUNT) return nullptr;
    return &coilObjectInfoTable[id - 1];
}

int cmBackendApplicationInit(cmBackendApp_t* app) {
    if (app) {
        app->objectTable = coilObjectInfoTable;
        app->configObjectTable = coilConfigObjectTable;
        app->thirdTable = coilEmptyObjectTable;
    }
    return 1;
}

void cmBackendApplicationTerminate(cmBackendApp_t* app) {
    if (app == nullptr) return;
    app->objectTable = nullptr;
    app->configObjectTable = nullptr;
    app->thirdTable = nullptr;
}
