// Dispatch of a request on one object node to the get and set handlers.
#include "clients/coil_objdef.h"

namespace {

int coilRefuse(cmRequest_t* request, const cmObject_t* node) {
    const char* object = node->info && node->info->name ? node->info->name : "";
    const char* method = node->method && node->method->name ? node->method->name : "";
    request->result = 0;
    bufferReset(&request->message);
    bufferPutf(&request->message, "Object %s does not support method %s.", object, method);
    return 0;
}

// Common path of the two configuration objects, which carry a row status:
// a set runs only when the request names an action (or implies one).
template <typename Record>
int coilRowStatusAction(cmRequest_t* request, cmObject_t* node, int (*get)(cmRequest_t*, Record*),
                        int (*set)(cmRequest_t*, Record*), unsigned rowStatusField) {
    Record* record = static_cast<Record*>(node->record);
    uint32_t method = node->method ? node->method->id : 0;
    if ((request->flags & CM_FLAG_WALK) || method == COIL_ID_GET) {
        request->result = get(request, record);
        return 1;
    }
    if (method != COIL_ID_SET) return coilRefuse(request, node);
    if (record && (request->flags & CM_FLAG_IMPLIED_ROW_STATUS)) {
        record->rowStatus = CM_ROW_ACTIVE;
        coilFieldSetPresent(record->bitmap, rowStatusField);
    }
    if (record == nullptr || !coilFieldPresent(record->bitmap, rowStatusField)) {
        bufferPutf(&request->message, "No configuration action is specified for object %s.", node->info->name);
        request->result = 0;
        return 1;
    }
    request->setMark = 1;
    request->result = set(request, record);
    return 1;
}

int coilGlobalCfgGet(cmRequest_t* request, coilGlobalCfg_t*) { return coilGlobalCfg_t_get(request); }

}  // namespace

int cmBackendAction(cmRequest_t* request, cmObject_t* node) {
    if (request == nullptr || node == nullptr) return 0;
    uint32_t typeCode = node->info && node->info->kind == CM_INFO_OBJECT ? node->info->type : 0;
    uint32_t method = node->method ? node->method->id : 0;
    switch (typeCode) {
    case COIL_TYPE_GLOBAL_CFG:
        return coilRowStatusAction<coilGlobalCfg_t>(request, node, coilGlobalCfgGet, coilGlobalCfg_t_set,
                                                    COIL_GCFG_ROW_STATUS);
    case COIL_TYPE_SERVICE_NODE:
        return coilRowStatusAction<coilServiceNode_t>(request, node, coilServiceNode_t_get, coilServiceNode_t_set,
                                                      COIL_SN_ROW_STATUS);
    case COIL_TYPE_DISABLED_PORT_STATUS:
        if (method != COIL_ID_GET) break;
        request->result = coilDisabledPortStatus_t_get(request, static_cast<coilDisabledPortStatus_t*>(node->record));
        return 1;
    case COIL_TYPE_DEBUG:
        if (method != COIL_ID_SET) break;
        request->result = coilDebug_t_set(request, static_cast<coilDebug_t*>(node->record));
        return 1;
    case COIL_TYPE_SERVICE_STATUS:
        if (method != COIL_ID_GET) break;
        request->result = coilServiceStatus_t_get(request, static_cast<coilServiceStatus_t*>(node->record));
        return 1;
    default:
        break;
    }
    return coilRefuse(request, node);
}
