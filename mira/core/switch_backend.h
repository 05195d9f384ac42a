// The one seam between the platform core and a switch backend. The switch
// side of the platform (VLAN library, packet library, forwarding database,
// port administrative state) is answered by the installed backend: the
// simulated switch (mira/sim) or a Linux host's bridges (mira/linux). The
// core's C entry points of vlanlib.h, kypkt.h and fdb_client.h forward to it;
// the VLAN manager's handler tables stay in the core (mira/core/vlanmgr.h),
// and a backend reports its changes through them.
//
// Everything here runs on the loop's thread.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "fdb_client.h"
#include "kypkt.h"
#include "vlanlib.h"

namespace mira {

// The outcome of a lab command (a change of the simulated switch).
struct LabResult {
    bool ok = false;
    std::string error;  // why the command was refused
    std::string text;   // what was done, one line
    std::string xml;    // `ports`: one <labPort> record per physical port
};

// One physical port as a listing shows it.
struct SwitchPortInfo {
    uint32_t word = 0;     // slot << 16 | port
    std::string name;      // what operators type and read: "1:3", "eth1"
    std::string group;     // where it belongs: bridge or trunk name, "" when none
    bool adminUp = false;  // enabled (not disabled by the daemon or an operator)
    bool linkUp = false;
    std::string state;     // the backend's forwarding state, e.g. "forwarding", "disabled"
    std::string vlans;     // VLAN names, comma separated
};

class SwitchBackend {
  public:
    virtual ~SwitchBackend() = default;

    // "simulated", "linux".
    virtual const char* kind() const = 0;

    // ---- VLAN library (vlanlib.h) ----------------------------------------
    virtual int vlanLibGetVlanIfByName(const char* name, vlanIf_t** out) = 0;
    virtual int vlanLibGetVlanIfByInstance(uint32_t vlanIfInstance, vlanIf_t** out) = 0;
    virtual int vlanLibGetLifBySlotPort(uint16_t slot, uint16_t port, lif_t** out) = 0;
    virtual vpif_t* vlanLibGetFirstVpifOnPort(lif_t* lif) = 0;
    virtual vpif_t* vlanLibGetNextVpifOnPort(lif_t* lif, vlanIf_t* current) = 0;
    virtual vpif_t* getFirstVpifOnVlan(vlanIf_t* vlanIf) = 0;
    virtual vpif_t* getNextVpifOnVlan(vlanIf_t* vlanIf, lif_t* current) = 0;
    virtual vpif_t* vlanLibGetVpifByVlanInstanceAndPortInstance(uint32_t vlanIfInstance, uint32_t portWord) = 0;
    virtual vpif_t* vlanLibGetVpifByVlanSlotPort(vlanIf_t* vlanIf, lif_t* lif) = 0;
    virtual int vlanLibVpifUpAndForwarding(vpif_t* vpif) = 0;
    virtual int vlanLibIsPortLinkUp(uint32_t portWord) = 0;
    virtual int isPortATrunk(lif_t* lif) = 0;
    virtual int isPortPartOfTrunk(lif_t* lif) = 0;
    virtual pif_t* vlanLibGetActivePortOnLif(lif_t* lif) = 0;
    virtual pif_t* getFirstPifOnLif(lif_t* lif) = 0;
    virtual pif_t* getNextPifOnLif(lif_t* lif, pif_t* current) = 0;
    virtual int vlanLibSetPortAdminState(const uint32_t* ports, int count, int state) = 0;

    // ---- Packet library (kypkt.h) -----------------------------------------
    virtual int openKypkt() = 0;
    virtual int attachKypktFilter(int fd, kypktFilterSpec_t* spec) = 0;
    virtual int detachKypktFilter(int fd, uint32_t filterId) = 0;
    virtual int sendKypkt(int fd, const uint8_t* frame, uint32_t length, int kind, int a, uint32_t vlanIfInstance,
                          int count, const uint32_t* port, int b) = 0;
    virtual int recvKypkt(int fd, uint8_t* frame, uint32_t maxLength, uint32_t* scratch, uint32_t* vlanIfInstance,
                          uint32_t* rxInfo, uint16_t* inPif, uint16_t* inLif, int a, int b) = 0;
    virtual int peekKypkt(int fd, kypktQueued_t* out, int max) = 0;

    // ---- Forwarding database (fdb_client.h) -------------------------------
    virtual int fdbInit(fdbCallback_t cb, int a) = 0;
    virtual int fdbMacAdd(int kind, const fdbKey_t* key, const uint8_t* mac, int flags, int a, int b) = 0;
    virtual int fdbMacDelete(int kind, const fdbKey_t* key, const uint8_t* mac, int a) = 0;

    // ---- For operators and tests ------------------------------------------
    // A port's name as operators see it, and the port word of a name (false
    // when it names no port of this switch).
    virtual std::string portName(uint32_t word) = 0;
    virtual bool parsePortName(const std::string& text, uint32_t* word) = 0;
    // True when operators name ports by portName() alone (interface names),
    // so port lists are read and written as comma-separated names; false
    // for "slot:port" numbers with ranges.
    virtual bool namesPorts() const { return false; }
    // Every physical port, in port-word order.
    virtual std::vector<SwitchPortInfo> listPorts() = 0;
    // Every VLAN (those without ports too), in instance order.
    virtual std::vector<vlanIf_t> listVlans() = 0;
    // A lab command (words as typed after `coilctl lab`).
    virtual LabResult labCommand(const std::vector<std::string>& words) = 0;
    // Back to the backend's empty state (resetPlatform()).
    virtual void reset() = 0;
};

// The backend the platform's switch calls reach. Programs that link the
// simulated switch start with it installed; coild --linux installs the
// Linux one before the daemon starts. Installing replaces the previous one
// (which is not reset); the backend must outlive its use.
void installSwitch(SwitchBackend& backend);
SwitchBackend& activeSwitch();
// True when a backend was installed.
bool hasSwitch();

}  // namespace mira
