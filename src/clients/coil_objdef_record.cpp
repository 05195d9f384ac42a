// The five object records: their field tables, the generic construct and
// format that walk those tables, and each type's four operations.
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "clients/coil_objdef.h"
#include "clients/coil_objdef_record.h"
#include "frame/coil_log.h"

static constexpr const char* coilUnit = "coil_objdef";

namespace {

using K = coilFieldKind;

constexpr size_t COIL_TEXT_MAX = 256;  // the longest text field
static_assert(sizeof(coilServiceStatus_t::statusString) == COIL_TEXT_MAX);

#define COIL_FIELD(rec, member, id, kind, xml) {id, kind, offsetof(rec, member), 0, xml, nullptr}
#define COIL_TEXT(rec, member, id, xml, empty) \
    {id, K::Text, offsetof(rec, member), sizeof(rec::member), xml, empty}

const coilFieldDesc globalCfgFields[] = {
    COIL_FIELD(coilGlobalCfg_t, enable, COIL_ID_ENABLE, K::Boolean, "<enable>%b</enable>"),
    COIL_FIELD(coilGlobalCfg_t, clearCounter, COIL_ID_CLEAR_COUNTER, K::Boolean, "<clearCounter>%b</clearCounter>"),
    COIL_FIELD(coilGlobalCfg_t, rxpkts, COIL_ID_RXPKTS, K::Uint32, "<rxpkts>%u</rxpkts>"),
    COIL_FIELD(coilGlobalCfg_t, rowStatus, COIL_ID_ROW_STATUS, K::Action, nullptr),
    COIL_FIELD(coilGlobalCfg_t, disablePortWaitTime, COIL_ID_DISABLE_PORT_WAIT_TIME, K::Uint16,
               "<disablePortWaitTime>%u</disablePortWaitTime>"),
    COIL_FIELD(coilGlobalCfg_t, txpkts, COIL_ID_TXPKTS, K::Uint32, "<txpkts>%u</txpkts>"),
    COIL_FIELD(coilGlobalCfg_t, coilClients, COIL_ID_COIL_CLIENTS, K::Uint16, "<coilClients>%u</coilClients>"),
};

const coilFieldDesc disabledPortStatusFields[] = {
    COIL_FIELD(coilDisabledPortStatus_t, disabledPort, COIL_ID_DISABLED_PORT, K::PortMask,
               "<disabledPort>%M</disabledPort>"),
    COIL_TEXT(coilDisabledPortStatus_t, timeDisabled, COIL_ID_TIME_DISABLED,
              "<timeDisabled><![CDATA[%s]]></timeDisabled>", "<timeDisabled/>"),
    COIL_FIELD(coilDisabledPortStatus_t, disablePortDuration, COIL_ID_DISABLE_PORT_DURATION, K::Uint16,
               "<disablePortDuration>%u</disablePortDuration>"),
    COIL_TEXT(coilDisabledPortStatus_t, vlan, COIL_ID_VLAN, "<vlan><![CDATA[%s]]></vlan>", "<vlan/>"),
};

const coilFieldDesc serviceNodeFields[] = {
    COIL_FIELD(coilServiceNode_t, vlanIfInstance, COIL_ID_VLAN_IF_INSTANCE, K::Uint32,
               "<vlanIfInstance>%u</vlanIfInstance>"),
    COIL_TEXT(coilServiceNode_t, clientIdentifier, COIL_ID_CLIENT_IDENTIFIER,
              "<clientIdentifier><![CDATA[%s]]></clientIdentifier>", "<clientIdentifier/>"),
    COIL_FIELD(coilServiceNode_t, disablePort, COIL_ID_DISABLE_PORT, K::Uint16, "<disablePort>%u</disablePort>"),
    COIL_FIELD(coilServiceNode_t, interval, COIL_ID_INTERVAL, K::Uint16, "<interval>%u</interval>"),
    COIL_TEXT(coilServiceNode_t, vlan, COIL_ID_VLAN, "<vlan><![CDATA[%s]]></vlan>", "<vlan/>"),
    COIL_FIELD(coilServiceNode_t, clientType, COIL_ID_CLIENT_TYPE, K::Uint16, "<clientType>%u</clientType>"),
    COIL_FIELD(coilServiceNode_t, txpkts, COIL_ID_TXPKTS, K::Uint32, "<txpkts>%u</txpkts>"),
    COIL_FIELD(coilServiceNode_t, retry, COIL_ID_RETRY, K::Uint16, "<retry>%u</retry>"),
    COIL_FIELD(coilServiceNode_t, ports, COIL_ID_PORTS, K::PortList, "<ports>%P</ports>"),
    COIL_FIELD(coilServiceNode_t, rxpkts, COIL_ID_RXPKTS, K::Uint32, "<rxpkts>%u</rxpkts>"),
    COIL_FIELD(coilServiceNode_t, rowStatus, COIL_ID_ROW_STATUS, K::Action, nullptr),
    COIL_FIELD(coilServiceNode_t, action, COIL_ID_ACTION, K::Uint16, "<action>%u</action>"),
    COIL_FIELD(coilServiceNode_t, disablePortDuration, COIL_ID_DISABLE_PORT_DURATION, K::Uint16,
               "<disablePortDuration>%u</disablePortDuration>"),
    COIL_FIELD(coilServiceNode_t, numPorts, COIL_ID_NUM_PORTS, K::Uint16, "<numPorts>%u</numPorts>"),
    COIL_FIELD(coilServiceNode_t, pollType, COIL_ID_POLL_TYPE, K::Uint16, "<pollType>%u</pollType>"),
};

const coilFieldDesc debugFields[] = {
    COIL_FIELD(coilDebug_t, cmd, COIL_ID_CMD, K::Int, "<cmd>%d</cmd>"),
    COIL_FIELD(coilDebug_t, disablePortWaitTime, COIL_ID_DISABLE_PORT_WAIT_TIME, K::Uint16,
               "<disablePortWaitTime>%u</disablePortWaitTime>"),
};

const coilFieldDesc serviceStatusFields[] = {
    COIL_FIELD(coilServiceStatus_t, vlanIfInstance, COIL_ID_VLAN_IF_INSTANCE, K::Uint32,
               "<vlanIfInstance>%u</vlanIfInstance>"),
    COIL_TEXT(coilServiceStatus_t, clientIdentifier, COIL_ID_CLIENT_IDENTIFIER,
              "<clientIdentifier><![CDATA[%s]]></clientIdentifier>", "<clientIdentifier/>"),
    COIL_FIELD(coilServiceStatus_t, statusFlag, COIL_ID_STATUS_FLAG, K::Uint16, "<statusFlag>%u</statusFlag>"),
    COIL_FIELD(coilServiceStatus_t, pollCount, COIL_ID_POLL_COUNT, K::Uint16, "<pollCount>%u</pollCount>"),
    COIL_TEXT(coilServiceStatus_t, vlan, COIL_ID_VLAN, "<vlan><![CDATA[%s]]></vlan>", "<vlan/>"),
    COIL_TEXT(coilServiceStatus_t, statusString, COIL_ID_STATUS_STRING,
              "<statusString><![CDATA[%s]]></statusString>", "<statusString/>"),
};

#undef COIL_FIELD
#undef COIL_TEXT

static_assert(std::size(globalCfgFields) == COIL_GCFG_FIELDS);
static_assert(std::size(disabledPortStatusFields) == COIL_DPS_FIELDS);
static_assert(std::size(serviceNodeFields) == COIL_SN_FIELDS);
static_assert(std::size(debugFields) == COIL_DBG_FIELDS);
static_assert(std::size(serviceStatusFields) == COIL_SS_FIELDS);

#define COIL_TYPE(code, rec, fields) \
    {code, #rec, sizeof(rec), offsetof(rec, next), offsetof(rec, bitmap), sizeof(rec::bitmap), fields, \
     std::size(fields)}

const coilObjectType objectTypes[] = {
    COIL_TYPE(COIL_TYPE_GLOBAL_CFG, coilGlobalCfg_t, globalCfgFields),
    COIL_TYPE(COIL_TYPE_DISABLED_PORT_STATUS, coilDisabledPortStatus_t, disabledPortStatusFields),
    COIL_TYPE(COIL_TYPE_SERVICE_NODE, coilServiceNode_t, serviceNodeFields),
    COIL_TYPE(COIL_TYPE_DEBUG, coilDebug_t, debugFields),
    COIL_TYPE(COIL_TYPE_SERVICE_STATUS, coilServiceStatus_t, serviceStatusFields),
};

#undef COIL_TYPE

const coilObjectType& typeOf(uint32_t code) { return objectTypes[code - 1]; }

// Converts the value text into the field; logs the conversion's failure.
bool convert(const coilFieldDesc& field, uint8_t* place, const char* text) {
    switch (field.kind) {
    case K::Boolean: {
        BOOLEAN_T v;
        if (!STRING_TO_BOOLEAN(text, &v)) {
            COIL_TRACE("String (\"%s\") to BOOLEAN conversion failed!", text);
            return false;
        }
        std::memcpy(place, &v, sizeof v);
        return true;
    }
    case K::Uint16: {
        uint16_t v;
        if (!STRING_TO_UINT16(text, &v)) {
            COIL_TRACE("String (\"%s\") to UINT16_T conversion failed!", text);
            return false;
        }
        std::memcpy(place, &v, sizeof v);
        return true;
    }
    case K::Uint32: {
        uint32_t v;
        if (!STRING_TO_UINT32(text, &v)) {
            COIL_TRACE("String (\"%s\") to UINT32_T conversion failed!", text);
            return false;
        }
        std::memcpy(place, &v, sizeof v);
        return true;
    }
    case K::Int: {
        int32_t v;
        if (!STRING_TO_INT(text, &v)) {
            COIL_TRACE("String (\"%s\") to INT conversion failed!", text);
            return false;
        }
        std::memcpy(place, &v, sizeof v);
        return true;
    }
    case K::Action: {
        ACTION_T v;
        if (!STRING_TO_ACTION(text, &v)) {
            COIL_TRACE("String (\"%s\") to ACTION_T conversion failed!", text);
            return false;
        }
        std::memcpy(place, &v, sizeof v);
        return true;
    }
    case K::PortMask: {
        PORTMASK_T v;
        if (!STRING_TO_PORTMASK(text, &v)) {
            COIL_TRACE("String (\"%s\") to PORTMASK_T conversion failed!", text);
            return false;
        }
        std::memcpy(place, &v, sizeof v);
        return true;
    }
    case K::PortList:
        // Converted in place: the conversion leaves the list untouched on failure.
        if (!STRING_TO_PORTLIST(text, reinterpret_cast<PORTLIST_T*>(place))) {
            COIL_TRACE("String (\"%s\") to PORTLIST_T conversion failed!", text);
            return false;
        }
        return true;
    case K::Text:
        break;
    }
    return false;
}

void formatField(cmRequest_t* request, const coilFieldDesc& field, const uint8_t* place) {
    cmBuffer_t* out = &request->output;
    switch (field.kind) {
    case K::Action:
        // rowStatus is shown only on request, and then always as active.
        if (request->flags & CM_FLAG_ROW_STATUS_OUTPUT) bufferPuts(out, "<rowStatus>active</rowStatus>");
        return;
    case K::Text: {
        const char* text = reinterpret_cast<const char*>(place);
        if (text[0] == '\0') {
            bufferPuts(out, field.emptyXml);
        } else {
            // Bounded by the array even if a filler forgot the terminator. A
            // "]]>" of the text would end its CDATA section: it is split over
            // two sections ("]]" closes one, ">" opens the next).
            static constexpr char kSplit[] = "]]]]><![CDATA[>";
            char bounded[COIL_TEXT_MAX / 3 * (sizeof kSplit - 1) + 3];
            const size_t n = strnlen(text, field.size < COIL_TEXT_MAX ? field.size : COIL_TEXT_MAX);
            size_t k = 0;
            for (size_t i = 0; i < n; i++) {
                if (i + 2 < n && text[i] == ']' && text[i + 1] == ']' && text[i + 2] == '>') {
                    std::memcpy(bounded + k, kSplit, sizeof kSplit - 1);
                    k += sizeof kSplit - 1;
                    i += 2;
                } else {
                    bounded[k++] = text[i];
                }
            }
            bounded[k] = '\0';
            bufferPutf(out, field.xml, bounded);
        }
        return;
    }
    case K::PortList:
        bufferPutf(out, field.xml, reinterpret_cast<const PORTLIST_T*>(place));
        return;
    case K::Uint16: {
        uint16_t v;
        std::memcpy(&v, place, sizeof v);
        bufferPutf(out, field.xml, unsigned(v));
        return;
    }
    case K::Int: {
        int32_t v;
        std::memcpy(&v, place, sizeof v);
        bufferPutf(out, field.xml, int(v));
        return;
    }
    case K::Boolean:
    case K::Uint32:
    case K::PortMask: {
        uint32_t v;
        std::memcpy(&v, place, sizeof v);
        bufferPutf(out, field.xml, v);
        return;
    }
    }
}

}  // namespace

const coilObjectType* coilObjectTypeOf(uint32_t typeCode) {
    if (typeCode < COIL_TYPE_GLOBAL_CFG || typeCode > COIL_TYPE_SERVICE_STATUS) return nullptr;
    return &typeOf(typeCode);
}

void* coilRecordAlloc(const coilObjectType& type) {
    void* record = std::calloc(1, type.size);
    if (record) std::memset(coilRecordBitmap(type, record), 0xff, type.bitmapBytes);
    return record;
}

void coilRecordFree(void* record) { std::free(record); }

int coilRecordConstruct(const coilObjectType& type, void* record, cmObject_t* attribute) {
    if (record == nullptr || attribute == nullptr || attribute->info == nullptr) return -1;
    const coilFieldDesc* field = nullptr;
    size_t k = 0;
    for (; k < type.fieldCount; ++k) {
        if (type.fields[k].id == attribute->info->id) {
            field = &type.fields[k];
            break;
        }
    }
    if (field == nullptr) return 0;  // not an attribute of this object
    const char* text = attribute->record ? static_cast<const char*>(attribute->record) : "";
    uint8_t* place = static_cast<uint8_t*>(record) + field->offset;
    if (field->kind == K::Text) {
        char* dst = reinterpret_cast<char*>(place);
        std::strncpy(dst, text, field->size);
        dst[field->size - 1] = '\0';
    } else if (!convert(*field, place, text)) {
        return -1;
    }
    coilFieldSetPresent(coilRecordBitmap(type, record), unsigned(k));
    return 0;
}

void coilRecordFormat(const coilObjectType& type, cmRequest_t* request, const cmInfoEntry_t* info,
                      const void* record) {
    if (request == nullptr || record == nullptr) return;
    if (info) bufferPutf(&request->output, "<%s>", info->name);
    const uint8_t* base = static_cast<const uint8_t*>(record);
    const uint8_t* bitmap = base + type.bitmapOffset;
    for (size_t k = 0; k < type.fieldCount; ++k) {
        const coilFieldDesc& field = type.fields[k];
        if (field.kind != K::Action && !coilFieldPresent(bitmap, unsigned(k))) continue;
        formatField(request, field, base + field.offset);
    }
    if (info) bufferPutf(&request->output, "</%s>", info->name);
}

// Each type's four operations over the generic ones. The argument is a type
// name, which cannot be parenthesised.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define COIL_RECORD_OPS(rec, code) \
    rec* rec##_alloc(void) { return static_cast<rec*>(coilRecordAlloc(typeOf(code))); } \
    void rec##_free(rec* record) { coilRecordFree(record); } \
    int rec##_construct(rec* record, cmObject_t* attribute) { \
        return coilRecordConstruct(typeOf(code), record, attribute); \
    } \
    void rec##_format(cmRequest_t* request, const cmInfoEntry_t* info, rec* record) { \
        coilRecordFormat(typeOf(code), request, info, record); \
    }
// NOLINTEND(bugprone-macro-parentheses)

COIL_RECORD_OPS(coilGlobalCfg_t, COIL_TYPE_GLOBAL_CFG)
COIL_RECORD_OPS(coilDisabledPortStatus_t, COIL_TYPE_DISABLED_PORT_STATUS)
COIL_RECORD_OPS(coilServiceNode_t, COIL_TYPE_SERVICE_NODE)
COIL_RECORD_OPS(coilDebug_t, COIL_TYPE_DEBUG)
COIL_RECORD_OPS(coilServiceStatus_t, COIL_TYPE_SERVICE_STATUS)

#undef COIL_RECORD_OPS
