// SNMPv2c traps through net-snmp: one session opened at start, one
// notification PDU per trap (sysUpTime.0, snmpTrapOID.0, then the trap's
// objects). Nothing is read back: a trap has no answer.
#include "mira/core/snmp_trap_sink.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <charconv>
#include <cstring>

#include "mira/core/loop.h"
#include "mira/core/platform.h"

namespace mira {

namespace {

constexpr const char* kSysUpTimeOid = "1.3.6.1.2.1.1.3.0";
constexpr const char* kSnmpTrapOid = "1.3.6.1.6.3.1.1.4.1.0";
constexpr const char* kLoopTrapName = "brambleCoilVlanLoopDetected";
constexpr unsigned kDefaultTrapPort = 162;

struct Sink {
    netsnmp_session* session = nullptr;
    std::string peer;
    int64_t startUsec = 0;
};

Sink& sink() {
    static Sink instance;
    return instance;
}

bool validPort(std::string_view text) {
    unsigned port = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    return ec == std::errc() && end == text.data() + text.size() && port >= 1 && port <= 65535;
}

// A numeric OID ("1.3.6...") as net-snmp's array; no MIB is consulted.
bool parseOid(std::string_view text, oid* out, size_t* length) {
    size_t n = 0;
    while (!text.empty()) {
        unsigned long arc = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), arc);
        if (ec != std::errc() || n == MAX_OID_LEN) return false;
        out[n++] = arc;
        text.remove_prefix(size_t(end - text.data()));
        if (!text.empty() && text.front() != '.') return false;
        if (!text.empty()) text.remove_prefix(1);
    }
    *length = n;
    return n >= 2;
}

bool addVar(netsnmp_pdu* pdu, const char* name, u_char type, const void* value, size_t size) {
    oid parsed[MAX_OID_LEN];
    size_t length = 0;
    if (!parseOid(name, parsed, &length)) return false;
    return snmp_pdu_add_variable(pdu, parsed, length, type, value, size) != nullptr;
}

bool addOidValue(netsnmp_pdu* pdu, const char* name, const char* value) {
    oid parsed[MAX_OID_LEN];
    size_t length = 0;
    if (!parseOid(value, parsed, &length)) return false;
    return addVar(pdu, name, ASN_OBJECT_ID, parsed, length * sizeof(oid));
}

}  // namespace

bool trapPeerName(std::string_view text, std::string* peer, std::string* error) {
    std::string host, port = std::to_string(kDefaultTrapPort);
    bool v6 = false;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos || close == 1) {
            *error = "trap sink " + std::string(text) + ": no closing ] after the address";
            return false;
        }
        host = std::string(text.substr(0, close + 1));
        std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                *error = "trap sink " + std::string(text) + ": expected :PORT after ]";
                return false;
            }
            port = std::string(rest.substr(1));
        }
        v6 = true;
    } else {
        const size_t colon = text.find(':');
        host = std::string(text.substr(0, colon));
        if (colon != std::string_view::npos) port = std::string(text.substr(colon + 1));
        if (host.empty() || port.find(':') != std::string::npos) {
            *error = "trap sink " + std::string(text) + ": give HOST, HOST:PORT or [IPV6]:PORT";
            return false;
        }
    }
    if (!validPort(port)) {
        *error = "trap sink " + std::string(text) + ": port " + port + " is not 1..65535";
        return false;
    }
    *peer = (v6 ? "udp6:" : "udp:") + host + ":" + port;
    return true;
}

bool startTrapSink(std::string_view text, std::string* error) {
    stopTrapSink();
    std::string peer;
    if (!trapPeerName(text, &peer, error)) return false;
    // Only the library's own defaults: no snmp.conf of the machine or the
    // user, no MIB files, nothing persistent.
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_session settings;
    snmp_sess_init(&settings);
    settings.version = SNMP_VERSION_2c;
    settings.peername = peer.data();
    settings.community = reinterpret_cast<u_char*>(const_cast<char*>(kTrapCommunity));
    settings.community_len = std::strlen(kTrapCommunity);
    settings.callback = nullptr;
    netsnmp_session* session = snmp_open(&settings);
    if (session == nullptr) {
        int liberr = 0, syserr = 0;
        char* why = nullptr;
        snmp_error(&settings, &liberr, &syserr, &why);
        *error = "trap sink " + std::string(text) + ": " + (why ? why : "cannot open");
        std::free(why);
        return false;
    }
    sink().session = session;
    sink().peer = peer;
    sink().startUsec = monoUsec();
    return true;
}

void stopTrapSink() {
    if (sink().session) snmp_close(sink().session);
    sink() = Sink{};
}

bool trapSinkActive() { return sink().session != nullptr; }

bool sendTrapToSink(std::string_view trapName, std::string_view vlan) {
    Sink& s = sink();
    if (!s.session) return false;
    if (trapName != kLoopTrapName) {
        logLine("WARNING", "snmp.Trap", "no OID for trap " + std::string(trapName) + ", not sent to " + s.peer);
        return false;
    }
    netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_TRAP2);
    // sysUpTime in hundredths of a second since the sink was opened.
    const u_long upTime = u_long((monoUsec() - s.startUsec) / 10'000);
    if (!pdu || !addVar(pdu, kSysUpTimeOid, ASN_TIMETICKS, &upTime, sizeof upTime) ||
        !addOidValue(pdu, kSnmpTrapOid, kCoilLoopTrapOid) ||
        !addVar(pdu, kCoilTrapVlanOid, ASN_OCTET_STR, vlan.data(), vlan.size())) {
        if (pdu) snmp_free_pdu(pdu);
        logLine("WARNING", "snmp.Trap", "cannot build the trap for " + s.peer);
        return false;
    }
    if (snmp_send(s.session, pdu) == 0) {
        snmp_free_pdu(pdu);
        logLine("WARNING", "snmp.Trap", "trap not sent to " + s.peer + ": " + snmp_api_errstring(s.session->s_snmp_errno));
        return false;
    }
    return true;
}

}  // namespace mira
