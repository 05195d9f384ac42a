// SNMP client: registration with the subagent (failures can be forced for
// tests) and traps written as one log line each, and sent to the trap sink
// when coild has one.
#include "snmp.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "mira/core/core_internal.h"
#include "mira/core/platform.h"
#include "mira/core/snmp_trap_sink.h"

namespace {

struct Snmp {
    int failuresLeft = 0;
    int registrations = 0;
};

Snmp& snmp() {
    static Snmp instance;
    return instance;
}

}  // namespace

int registerWithSnmpSubagent(ipmlHandle_t, const char* module, int) {
    if (!module) return -1;
    if (snmp().failuresLeft > 0) {
        --snmp().failuresLeft;
        return -1;
    }
    ++snmp().registrations;
    return 0;
}

// The trap record: the VLAN name in bytes 0..31, its length as a big-endian
// word at byte 256. Only bytes that were passed are read.
int sendSnmpTrapMsg(const char* trapName, const void* record, uint32_t length) {
    if (!trapName) return -1;
    const auto* bytes = static_cast<const uint8_t*>(record);
    std::string vlan;
    if (bytes) {
        uint32_t limit = length < 32 ? length : 32;
        vlan.assign(reinterpret_cast<const char*>(bytes), strnlen(reinterpret_cast<const char*>(bytes), limit));
    }
    std::string text = std::string(trapName) + " vlan \"" + vlan + "\"";
    if (bytes && length >= 260) {
        uint32_t nameLength = uint32_t(bytes[256]) << 24 | uint32_t(bytes[257]) << 16 | uint32_t(bytes[258]) << 8 | bytes[259];
        text += " length " + std::to_string(nameLength);
    }
    mira::logLine("NOTICE", "snmp.Trap", text);
    if (mira::trapSinkActive()) mira::sendTrapToSink(trapName, vlan);
    return 0;
}

namespace mira {

void failSnmpRegistrations(int n) { snmp().failuresLeft = n; }
int snmpRegistrations() { return snmp().registrations; }

namespace core {
void resetSnmp() { snmp() = Snmp{}; }
}  // namespace core
}  // namespace mira
