// The Linux bridge backend: the platform's switch side answered from the
// host's bridges (see bridge_model.h for how they map), kept in step by
// rtnetlink notifications, with probes sent and received through packet
// sockets on the bridge ports.
//
// What it changes in the kernel, and puts back in restore():
// - a permanent multicast database entry on a bridge for the probe's
//   destination, delivering it to the host instead of flooding it (added
//   when the daemon asks for its CPU forwarding entry);
// - the bridge port state of a port the daemon disables (0, disabled), or,
//   with cutByLinkDown, the port's link (down).
#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "mira/core/switch_backend.h"
#include "mira/linux/bridge_model.h"
#include "mira/linux/kernel_view.h"
#include "mira/linux/netlink.h"
#include "mira/linux/probe_sockets.h"

namespace mira::lnx {

struct LinuxOptions {
    std::vector<WatchedBridge> bridges;  // none: every bridge
    bool cutByLinkDown = false;          // disable a port by taking its link down
    bool batchSends = true;              // a callback's sends go out in one sendmmsg
};

// CAP_NET_ADMIN and CAP_NET_RAW in the effective set; "" when both are
// there, else what is missing and how to grant it.
std::string missingCapabilities();

class LinuxSwitch final : public SwitchBackend {
  public:
    explicit LinuxSwitch(LinuxOptions options);
    ~LinuxSwitch() override;

    // Reads the kernel's interfaces, opens the sockets and watches them on
    // the loop; sets the platform's slots and MAC (the first watched
    // bridge's). False with *error when the kernel refuses.
    bool start(std::string* error);
    // Puts back every port state, link and multicast entry it changed and
    // closes its sockets.
    void restore();

    const char* kind() const override { return "linux"; }

    int vlanLibGetVlanIfByName(const char* name, vlanIf_t** out) override;
    int vlanLibGetVlanIfByInstance(uint32_t vlanIfInstance, vlanIf_t** out) override;
    int vlanLibGetLifBySlotPort(uint16_t slot, uint16_t port, lif_t** out) override;
    vpif_t* vlanLibGetFirstVpifOnPort(lif_t* lif) override;
    vpif_t* vlanLibGetNextVpifOnPort(lif_t* lif, vlanIf_t* current) override;
    vpif_t* getFirstVpifOnVlan(vlanIf_t* vlanIf) override;
    vpif_t* getNextVpifOnVlan(vlanIf_t* vlanIf, lif_t* current) override;
    vpif_t* vlanLibGetVpifByVlanInstanceAndPortInstance(uint32_t vlanIfInstance, uint32_t portWord) override;
    vpif_t* vlanLibGetVpifByVlanSlotPort(vlanIf_t* vlanIf, lif_t* lif) override;
    int vlanLibVpifUpAndForwarding(vpif_t* vpif) override;
    int vlanLibIsPortLinkUp(uint32_t portWord) override;
    int isPortATrunk(lif_t* lif) override;
    int isPortPartOfTrunk(lif_t* lif) override;
    pif_t* vlanLibGetActivePortOnLif(lif_t* lif) override;
    pif_t* getFirstPifOnLif(lif_t* lif) override;
    pif_t* getNextPifOnLif(lif_t* lif, pif_t* current) override;
    int vlanLibSetPortAdminState(const uint32_t* ports, int count, int state) override;

    int openKypkt() override;
    int attachKypktFilter(int fd, kypktFilterSpec_t* spec) override;
    int detachKypktFilter(int fd, uint32_t filterId) override;
    int sendKypkt(int fd, const uint8_t* frame, uint32_t length, int kind, int a, uint32_t vlanIfInstance, int count,
                  const uint32_t* port, int b) override;
    int recvKypkt(int fd, uint8_t* frame, uint32_t maxLength, uint32_t* scratch, uint32_t* vlanIfInstance,
                  uint32_t* rxInfo, uint16_t* inPif, uint16_t* inLif, int a, int b) override;
    int peekKypkt(int fd, kypktQueued_t* out, int max) override;

    int fdbInit(fdbCallback_t cb, int a) override;
    int fdbMacAdd(int kind, const fdbKey_t* key, const uint8_t* mac, int flags, int a, int b) override;
    int fdbMacDelete(int kind, const fdbKey_t* key, const uint8_t* mac, int a) override;

    std::string portName(uint32_t word) override;
    bool parsePortName(const std::string& text, uint32_t* word) override;
    bool namesPorts() const override { return true; }
    std::vector<SwitchPortInfo> listPorts() override;
    std::vector<vlanIf_t> listVlans() override;
    LabResult labCommand(const std::vector<std::string>& words) override;
    void reset() override;

    // A frame received on the interface, on its way to the packet descriptor.
    void offerFrame(int ifindex, const uint8_t* frame, size_t length, int tci);
    // Reads what waits on every port's receive socket, as the loop does when
    // they are readable (benchmarks call it directly); the frames read.
    size_t pollReceivers();
    const KernelView& view() const { return view_; }
    BridgeModel& model() { return model_; }
    ProbeSockets& probes() { return probes_; }
    uint64_t framesDropped() const { return dropped_; }

  private:
    struct Filter {
        uint32_t id;
        uint16_t tag;
        std::array<uint8_t, 6> addr;
    };
    struct Queued {
        std::array<uint8_t, 128> bytes;
        uint16_t length;
        uint32_t instance, filterId, pif, lif;
    };

    void onNetlink();
    void report(const std::vector<VlanChange>& changes);
    void syncReceivers();
    void keepCutPortsDisabled();
    void keepGroups();
    void reportSendFailures();
    std::string linkName(int ifindex) const;
    int addGroup(const HostGroup& group);
    void raiseSignal();
    void clearSignal();
    bool linkUp(const Lif& lif) const;
    bool forwarding(const Lif& lif) const;
    int bridgePortState(int ifindex, uint8_t state);
    int setPortEnabled(Port& port, bool enabled);

    LinuxOptions options_;
    KernelView view_;
    BridgeModel model_;
    Netlink netlink_;
    ProbeSockets probes_;
    std::map<int, int> receivers_;  // ifindex -> receive socket
    bool started_ = false;

    int descriptor_ = -1, signal_ = -1;
    bool signalled_ = false;
    std::vector<Filter> filters_;
    uint32_t nextFilterId_ = 1;
    std::deque<Queued> rx_;
    uint64_t dropped_ = 0;
    bool flushPosted_ = false;
    std::map<int, int> sendFailing_;  // interfaces the log says refuse probes, with the errno

    std::set<uint32_t> disabled_;            // physical ports the daemon disabled
    std::map<int, int> savedPortState_;      // bridge port ifindex -> state before we disabled it
    std::set<int> linksTakenDown_;           // ifindexes
    std::set<HostGroup> groupsWanted_;  // the probes' multicast entries the daemon asked for
    std::set<HostGroup> groupsAdded_;   // those this process added: removed at exit
};

}  // namespace mira::lnx

namespace mira::lnx {

// "NAME" or "NAME=TAG" (TAG 0..4094); false with *error when malformed.
bool parseWatchedBridge(const std::string& text, WatchedBridge* out, std::string* error);

// For coild --linux: checks the capabilities, reads the bridges and installs
// the backend as the platform's switch. Null with *error when it cannot.
std::unique_ptr<LinuxSwitch> startLinuxSwitch(const LinuxOptions& options, std::string* error);

}  // namespace mira::lnx
