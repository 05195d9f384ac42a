// Conversions of request text into typed values. Each returns nonzero on
// success and leaves *out untouched on failure. Numbers are plain decimal:
// no blanks, no base prefixes, no trailing characters.
#include <cstdint>
#include <cstring>
#include <string>
#include <strings.h>

#include "cmbackend.h"
#include "mira/core/switch_backend.h"
#include "dm.h"

namespace {

// Parses unsigned decimal digits (at least one, nothing after them) with an
// upper limit.
bool parseUnsigned(const char* text, uint64_t limit, uint64_t* out) {
    if (text == nullptr || *text == '\0') return false;
    uint64_t value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + uint64_t(*p - '0');
        if (value > limit) return false;
    }
    *out = value;
    return true;
}

// The chassis' slots as the port list can hold them: at most 32 from the
// first slot number.
struct SlotRange {
    uint32_t first, last;
    bool oneSlot;
};

SlotRange slotRange() {
    uint32_t first = dmGetSlotFirst();
    uint32_t count = dmConfig.slotCount;
    if (count < 1) count = 1;
    if (count > 32) count = 32;
    return {first, first + count - 1, dmConfig.slotCount < 2};
}

// Reads a decimal number up to the first character not a digit; at most
// five digits, so a value stays small.
bool readNumber(const char*& p, uint32_t* out) {
    uint32_t value = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
        if (++digits > 5) return false;
        value = value * 10 + uint32_t(*p++ - '0');
    }
    if (digits == 0) return false;
    *out = value;
    return true;
}

// One port: "slot:port", or "port" alone on a switch with one slot.
bool readPort(const char*& p, const SlotRange& slots, uint32_t* slot, uint32_t* port) {
    uint32_t a = 0;
    if (!readNumber(p, &a)) return false;
    if (*p == ':') {
        ++p;
        uint32_t b = 0;
        if (!readNumber(p, &b)) return false;
        *slot = a;
        *port = b;
    } else {
        if (!slots.oneSlot) return false;
        *slot = slots.first;
        *port = a;
    }
    return *slot >= slots.first && *slot <= slots.last && *port >= 1 && *port <= 256;
}

void setPort(PORTLIST_T* list, uint32_t firstSlot, uint32_t slot, uint32_t port) {
    uint32_t group = (slot - firstSlot) % 32;
    uint32_t bit = port - 1;
    list->group[group][bit / 32] |= 0x80000000u >> (bit % 32);
}

}  // namespace

int STRING_TO_INT(const char* text, int32_t* out) {
    if (text == nullptr || out == nullptr) return 0;
    bool negative = false;
    const char* digits = text;
    if (*digits == '-' || *digits == '+') negative = *digits++ == '-';
    uint64_t value = 0;
    if (!parseUnsigned(digits, negative ? 0x80000000ull : 0x7fffffffull, &value)) return 0;
    *out = negative ? int32_t(-int64_t(value)) : int32_t(value);
    return 1;
}

int STRING_TO_UINT16(const char* text, uint16_t* out) {
    uint64_t value = 0;
    if (out == nullptr || !parseUnsigned(text, 0xffff, &value)) return 0;
    *out = uint16_t(value);
    return 1;
}

int STRING_TO_UINT32(const char* text, uint32_t* out) {
    uint64_t value = 0;
    if (out == nullptr || !parseUnsigned(text, 0xffffffffull, &value)) return 0;
    *out = uint32_t(value);
    return 1;
}

int STRING_TO_BOOLEAN(const char* text, BOOLEAN_T* out) {
    static const char* const yes[] = {"true", "on", "enable", "yes", "1"};
    static const char* const no[] = {"false", "off", "disable", "no", "0"};
    if (text == nullptr || out == nullptr) return 0;
    for (const char* word : yes) {
        if (strcasecmp(text, word) == 0) {
            *out = 1;
            return 1;
        }
    }
    for (const char* word : no) {
        if (strcasecmp(text, word) == 0) {
            *out = 0;
            return 1;
        }
    }
    return 0;
}

int STRING_TO_ACTION(const char* text, ACTION_T* out) {
    static const struct {
        const char* name;
        ACTION_T value;
    } names[] = {
        {"active", CM_ROW_ACTIVE},
        {"notInService", CM_ROW_NOT_IN_SERVICE},
        {"createAndGo", CM_ROW_CREATE_AND_GO},
        {"destroy", CM_ROW_DESTROY},
    };
    if (text == nullptr || out == nullptr) return 0;
    for (const auto& entry : names) {
        if (strcasecmp(text, entry.name) == 0) {
            *out = entry.value;
            return 1;
        }
    }
    uint64_t value = 0;
    if (!parseUnsigned(text, CM_ROW_DESTROY, &value) || value < CM_ROW_ACTIVE) return 0;
    *out = ACTION_T(value);
    return 1;
}

// "1:1-1:4,2:3": single ports and ranges within one slot, separated by
// commas; "1-4,7" on a switch with one slot. The empty text is the empty list.
// Comma-separated port names, on a switch whose ports have names.
static int namedPortList(const char* text, PORTLIST_T* out) {
    PORTLIST_T list{};
    const std::string all = text;
    size_t start = 0;
    for (;;) {
        const size_t comma = all.find(',', start);
        const std::string name = all.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        uint32_t word = 0;
        if (!mira::activeSwitch().parsePortName(name, &word)) return 0;
        const SlotRange slots = slotRange();
        const uint32_t slot = word >> 16, port = word & 0xffff;
        if (slot < slots.first || slot > slots.last || port < 1 || port > 256) return 0;
        setPort(&list, slots.first, slot, port);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    std::memcpy(out, &list, sizeof list);
    return 1;
}

int STRING_TO_PORTLIST(const char* text, PORTLIST_T* out) {
    if (text == nullptr || out == nullptr) return 0;
    if (mira::activeSwitch().namesPorts()) return *text ? namedPortList(text, out) : (*out = PORTLIST_T{}, 1);
    SlotRange slots = slotRange();
    PORTLIST_T list{};
    const char* p = text;
    while (*p) {
        uint32_t slot = 0, port = 0;
        if (!readPort(p, slots, &slot, &port)) return 0;
        uint32_t lastPort = port;
        if (*p == '-') {
            ++p;
            // The end of a range may name its slot again or give the port alone.
            const char* save = p;
            uint32_t endSlot = 0, endPort = 0;
            if (!readNumber(p, &endPort)) return 0;
            if (*p == ':') {
                p = save;
                if (!readPort(p, slots, &endSlot, &endPort) || endSlot != slot) return 0;
            } else if (endPort < 1 || endPort > 256) {
                return 0;
            }
            if (endPort < port) return 0;
            lastPort = endPort;
        }
        for (uint32_t q = port; q <= lastPort; ++q) setPort(&list, slots.first, slot, q);
        if (*p == ',') {
            ++p;
            if (*p == '\0') return 0;  // a trailing comma names nothing
        } else if (*p != '\0') {
            return 0;
        }
    }
    std::memcpy(out, &list, sizeof list);
    return 1;
}

// One port: "1:5" is 0x00010005; "5" alone on a switch with one slot.
int STRING_TO_PORTMASK(const char* text, PORTMASK_T* out) {
    if (text == nullptr || out == nullptr) return 0;
    if (mira::activeSwitch().namesPorts()) return mira::activeSwitch().parsePortName(text, out) ? 1 : 0;
    SlotRange slots = slotRange();
    const char* p = text;
    uint32_t slot = 0, port = 0;
    if (!readPort(p, slots, &slot, &port) || *p != '\0') return 0;
    *out = (slot << 16) | port;
    return 1;
}
