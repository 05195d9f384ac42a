// Inside the configuration objects: each record type is described by a
// table of its fields (attribute id, kind, place in the record, XML form),
// and one generic construct/format walks that table.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cmbackend.h"

enum class coilFieldKind : uint8_t { Boolean, Uint16, Uint32, Int, Action, PortMask, PortList, Text };

struct coilFieldDesc {
    uint32_t id;            // attribute id in coilObjectInfoTable
    coilFieldKind kind;
    size_t offset;          // place in the record
    size_t size;            // bytes of a text field's array
    const char* xml;        // bufferPutf format of the value; null for rowStatus
    const char* emptyXml;   // text fields: the form of an empty text
};

struct coilObjectType {
    uint32_t typeCode;
    const char* name;       // the record type's name, for messages
    size_t size;
    size_t nextOffset;
    size_t bitmapOffset;
    size_t bitmapBytes;
    const coilFieldDesc* fields;
    size_t fieldCount;
};

// The descriptor of a type code 1 to 5, or null.
const coilObjectType* coilObjectTypeOf(uint32_t typeCode);

void* coilRecordAlloc(const coilObjectType& type);
void coilRecordFree(void* record);
int coilRecordConstruct(const coilObjectType& type, void* record, cmObject_t* attribute);
void coilRecordFormat(const coilObjectType& type, cmRequest_t* request, const cmInfoEntry_t* info,
                      const void* record);

inline uint8_t* coilRecordBitmap(const coilObjectType& type, void* record) {
    return static_cast<uint8_t*>(record) + type.bitmapOffset;
}
inline void* coilRecordNext(const coilObjectType& type, const void* record) {
    void* next;
    std::memcpy(&next, static_cast<const uint8_t*>(record) + type.nextOffset, sizeof next);
    return next;
}
inline void coilRecordSetNext(const coilObjectType& type, void* record, void* next) {
    std::memcpy(static_cast<uint8_t*>(record) + type.nextOffset, &next, sizeof next);
}
