// The object operations the backend library calls: node allocation and
// release, filling a record from an attribute, and rendering a reply.
#include <cstring>

#include "clients/coil_objdef.h"
#include "clients/coil_objdef_record.h"
#include "frame/coil_log.h"

static constexpr const char* coilUnit = "coil_objdef";

cmObject_t* cmObjectAlloc(const cmInfoEntry_t* info) {
    cmObject_t* node = cmObject_t_alloc();
    if (node == nullptr) return nullptr;
    node->info = info;
    if (info == nullptr || info->kind == CM_INFO_ATTRIBUTE) return node;
    if (info->kind != CM_INFO_OBJECT) {
        COIL_TRACE("Invalid object info type --> %d!", int(info->kind));
        cmObject_t_free(node);
        return nullptr;
    }
    const coilObjectType* type = coilObjectTypeOf(info->type);
    if (type == nullptr) {
        COIL_TRACE("Invalid object C type --> %d!", int(info->type));
        cmObject_t_free(node);
        return nullptr;
    }
    node->record = coilRecordAlloc(*type);
    if (node->record == nullptr) {
        cmObject_t_free(node);
        return nullptr;
    }
    // A record built from a request shows only the fields the request carries.
    std::memset(coilRecordBitmap(*type, node->record), 0, type->bitmapBytes);
    return node;
}

void cmObjectFree(cmObject_t* node, uint32_t flags) {
    if (node == nullptr) return;
    if (flags & CM_FREE_RECORDS) {
        const cmInfoEntry_t* info = node->info;
        if (info && info->kind == CM_INFO_OBJECT) {
            const coilObjectType* type = coilObjectTypeOf(info->type);
            if (type == nullptr) {
                COIL_TRACE("Invalid object C type --> %d!", int(info->type));
            } else {
                for (void* record = node->record; record;) {
                    void* next = coilRecordNext(*type, record);
                    coilRecordFree(record);
                    record = next;
                }
            }
        } else if (info && info->kind != CM_INFO_ATTRIBUTE) {
            COIL_TRACE("Invalid object info type --> %d!", int(info->kind));
        }
        // An attribute's value text belongs to the library that built the node.
        node->record = nullptr;
        node->info = nullptr;
    }
    if (flags & CM_FREE_NODE) cmObject_t_free(node);
}

int cmObjectSetData(cmObject_t* object, cmObject_t* attribute) {
    if (object == nullptr) return -1;
    const cmInfoEntry_t* info = object->info;
    if (info == nullptr || info->kind != CM_INFO_OBJECT) {
        COIL_TRACE("Invalid parent container type --> %d!", info ? int(info->kind) : 0);
        return -1;
    }
    const coilObjectType* type = coilObjectTypeOf(info->type);
    if (type == nullptr) {
        COIL_TRACE("Invalid object C type --> %d!", int(info->type));
        return -1;
    }
    return coilRecordConstruct(*type, object->record, attribute);
}

// After a walk step the chain's last record is kept in the request's walk
// slot (with every field present) and the record kept before takes its place.
static void coilWalkExchange(const coilObjectType& type, cmRequest_t* request, cmObject_t* node) {
    void* previous = nullptr;
    void* last = node->record;
    for (void* next; (next = coilRecordNext(type, last)) != nullptr;) {
        previous = last;
        last = next;
    }
    void* held = request->walkSlot;
    if (previous) coilRecordSetNext(type, previous, held);
    else node->record = held;
    std::memset(coilRecordBitmap(type, last), 0xff, type.bitmapBytes);
    request->walkSlot = last;
}

int cmBackendConvert(cmRequest_t* request, cmObject_t* first) {
    if (request == nullptr) return 0;
    bufferReset(&request->output);
    for (cmObject_t* node = first; node; node = node->next) {
        uint32_t typeCode = node->info ? node->info->type : 0;
        const coilObjectType* type = coilObjectTypeOf(typeCode);
        if (type == nullptr) {
            COIL_TRACE("Invalid object type --> %d!", int(typeCode));
            continue;
        }
        for (void* record = node->record; record; record = coilRecordNext(*type, record)) {
            coilRecordFormat(*type, request, node->info, record);
        }
        bool walked = typeCode == COIL_TYPE_GLOBAL_CFG || typeCode == COIL_TYPE_SERVICE_NODE;
        if (walked && (request->flags & CM_FLAG_WALK) && node->record) coilWalkExchange(*type, request, node);
    }
    return 0;
}
