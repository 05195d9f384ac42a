// Where the SNMP client's traps go besides the event log: an SNMPv2c trap
// receiver (coild's --trap-sink), reached through net-snmp over UDP.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace mira {

// Numeric OIDs of COIL-MIB (mibs/COIL-MIB.txt): the loop notification and
// the VLAN name object it carries.
inline constexpr const char* kCoilLoopTrapOid = "1.3.6.1.4.1.32473.7446.0.1";
inline constexpr const char* kCoilTrapVlanOid = "1.3.6.1.4.1.32473.7446.1.1";
inline constexpr const char* kTrapCommunity = "public";

// "HOST", "HOST:PORT", "[V6ADDR]" or "[V6ADDR]:PORT" (default port 162) as
// net-snmp's peer name ("udp:HOST:PORT" or "udp6:[V6ADDR]:PORT"); false
// with the reason when the text is none of them.
bool trapPeerName(std::string_view sink, std::string* peer, std::string* error);

// Opens the session (resolving HOST); false with the reason.
bool startTrapSink(std::string_view sink, std::string* error);
void stopTrapSink();
bool trapSinkActive();

// Sends the named trap with the VLAN name; false (and a warning in the
// event log) when it could not be sent or the name has no OID.
bool sendTrapToSink(std::string_view trapName, std::string_view vlan);

}  // namespace mira
