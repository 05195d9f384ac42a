// The stand-in platform's own controls, for programs (coild) and tests: the
// state that a real switch's other processes would drive. Everything here
// acts on the process's one platform; events it causes reach the daemon
// through the loop (mira/loop.h), never inside the call.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mira {

// Fresh platform for a test: loop emptied (time mode kept), every library's
// state back to its defaults, log sink back to standard error, capture off,
// condition enables back to the defaults (registered components stay
// registered), autostart off.
void resetPlatform();

// ---- Log sink -------------------------------------------------------------
// Every log line has the shape
//   "YYYY-MM-DD HH:MM:SS <SEVERITY> <source>: <text>"
// with the wall time of the loop's clock in local time. Event-log incidents
// use "<component>.<condition>" as the source.
void logToStderr();
// Appends; false if it cannot be opened. Over maxBytes the file is rotated
// (FILE.1 keeps the previous part).
bool logToFile(const std::string& path, uint64_t maxBytes = uint64_t{16} << 20);
void logDiscard();
// Sends every line to syslog (journald reads the same socket) as "coild"
// with the daemon facility; the severity word picks the syslog level.
void logToSyslog();
// Also appends every line (without its newline) to *lines; null stops it.
void captureLog(std::vector<std::string>* lines);
// At most linesPerSecond incidents of the component are written per second;
// the rest are counted and, after the second, said in one line "N <what>
// suppressed". 0 lifts the limit.
void limitIncidentRate(std::string_view component, int linesPerSecond, std::string_view what);
// Writes one line through the sink (and the capture).
void logLine(std::string_view severity, std::string_view source, std::string_view text);

// Event-log enables. By default every condition of severity DEBUG and the
// whole "trace" component are off, everything else on. condition "*" means
// every condition of the component. The setting also applies to components
// registered later. Returns how many registered conditions it changed.
int setConditionEnabled(std::string_view component, std::string_view condition, bool on);

// ---- Distribution manager -------------------------------------------------
// Peer process states: 6 or more is ready. Delivers event 0x40 with the
// process's record to the handler given to dmInit.
inline constexpr int kProcessReady = 6;
void setProcessState(const std::string& name, int state);
// The state this process last reported with dmSetProcessState.
int ownProcessState();
// Node role (4 standby, 5 backup, 6 primary): when delivered, sets
// dmConfig.node_state and then calls the handler with 0x203/0x202/0x201.
void setNodeRole(uint32_t nodeState);
// Checkpointing on/off: when delivered, sets or clears the process flag 0x2
// and calls the handler with 0x210/0x211.
void setCheckpointing(bool on);
// Any event code, with an optional data record (null param2 when empty).
void raiseDmEvent(uint32_t code, std::vector<uint8_t> data = {});
// What dmInSync() answers (default true).
void setDmInSync(bool inSync);
// Delivers one checkpoint message to the handler of dmRegisterCheckpointHandler.
void deliverCheckpoint(uint32_t kind, std::vector<uint8_t> message);
// Receives what writeBackup sends (mira/dm_link.h installs one for the peer link).
using BackupSink = std::function<void(int kind, std::span<const uint8_t> message)>;
void setBackupSink(BackupSink sink);

// ---- Library manager ------------------------------------------------------
void loadLibrary(const std::string& name);
void failLibrary(const std::string& name);
// While set, lmWatchGroup fails (returns 0).
void failLmWatch(bool fail);

// ---- Start-up of the rest of the switch -----------------------------------
// On: shortly after the call (a few milliseconds of loop time apart, in this
// order) libraries "dslib" "dmlib" "emslib" load, "cfgmgr" and "cli" become
// ready, "cliSubagent" "cmBackend" load, "vlan" becomes ready, "vlanLib"
// loads, "fdb" and then "snmpSubagent" become ready. Role and checkpointing
// are not touched.
void startAutostart();

// ---- Identity -------------------------------------------------------------
void setSystemMac(const uint8_t mac[6]);  // default 02:00:00:c0:11:01

// ---- Process manager ------------------------------------------------------
// The same shutdown that SIGTERM/SIGINT cause: the registered callback gets
// the notification (with this action word) through the loop, then the loop
// stops.
void requestShutdown(uint32_t action = 15);

// ---- Run directory ----------------------------------------------------------
// Where the platform's sockets and published names live (coild's --run-dir).
// Empty by default: messaging servers then take only injected input. Kept
// by resetPlatform(), so a test sets it before starting the daemon.
void setRunDir(const std::string& dir);
const std::string& runDir();
// Where the saved configuration lives (coild's --state-dir): kept across
// reboots, unlike the run directory. Empty: the run directory.
void setStateDir(const std::string& dir);
const std::string& stateDir();

// ---- Service manager ---------------------------------------------------------
// Passes a state ("READY=1", "RELOADING=1", "STOPPING=1", "STATUS=...") to
// the service manager that started the process, if any.
void notifyServiceManager(const std::string& state);

// ---- Reload ------------------------------------------------------------------
// SIGHUP runs the handler from the loop (coild: reload the saved
// configuration); without one it is logged and ignored.
void setReloadHandler(std::function<void()> handler);

// ---- Messaging, directory service, SNMP, CLI ------------------------------
// A messaging server opened on a port listens on <run-dir>/ipml-PORT.sock
// (mira/ipml_wire.h has the stream's form). Besides its socket peers, it
// gets these messages and peer events, as if from a peer with that
// identifier, when its descriptor is serviced by the dispatcher. False when
// no server listens on the port.
bool injectServerMessage(uint16_t port, uint32_t peer, std::vector<uint8_t> bytes);
bool injectPeerEvent(uint16_t port, int opcode, uint32_t peer);
// While set, receives what ipmlSend sends, to any peer (the packet is freed
// afterwards); nothing goes to the sockets.
using SendSink = std::function<void(uint32_t peer, std::span<const uint8_t> bytes)>;
void setSendSink(SendSink sink);
// The socket of the server on the port ("" when none, or without a run
// directory); the identifiers of its connected peers.
std::string ipmlSocketPath(uint16_t port);
std::vector<uint32_t> ipmlPeers(uint16_t port);
// A socket peer's send queue: bytes waiting, the bound, messages dropped.
struct IpmlPeerStats {
    bool connected = false;
    size_t queuedBytes = 0;
    size_t queueLimit = 0;
    uint64_t dropped = 0;
};
IpmlPeerStats ipmlPeerStats(uint32_t peer);
// While set, ipmlInitClient returns null.
void failIpmlInitClient(bool fail);
// Port the directory service gave the name, 0 if none.
uint16_t dsPortOf(const std::string& name);
// The next n dsNBRegister calls are refused; the next n registration
// callbacks report failure (null record, status -1).
void refuseDsRegistrations(int n);
void failDsCallbacks(int n);
// The next n registerWithSnmpSubagent calls fail; registrations made so far.
void failSnmpRegistrations(int n);
int snmpRegistrations();
// While set, cliSubagentInit fails.
void failCliSubagent(bool fail);

}  // namespace mira
