// The simulated switch as the platform's switch backend. Its VLAN library
// (vlanlib.cpp), packet library (kypkt.cpp) and forwarding database (fdb.cpp)
// answer from the switch model (switch_model.h).
#pragma once
#include "mira/core/switch_backend.h"

namespace mira::sim {

class SimSwitch final : public SwitchBackend {
  public:
    const char* kind() const override { return "simulated"; }

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
    std::vector<SwitchPortInfo> listPorts() override;
    std::vector<vlanIf_t> listVlans() override;
    LabResult labCommand(const std::vector<std::string>& words) override;
    void reset() override;
};

// The process's simulated switch.
SimSwitch& simulatedSwitch();

}  // namespace mira::sim
