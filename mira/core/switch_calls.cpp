// The switch side of the platform's C entry points: each forwards to the
// installed switch backend. Without one, the platform is a switch with no
// ports: lookups find nothing and the packet library has no device.
#include <cerrno>

#include "mira/core/switch_backend.h"

namespace mira {

namespace {

class NoSwitch final : public SwitchBackend {
  public:
    const char* kind() const override { return "none"; }
    int vlanLibGetVlanIfByName(const char*, vlanIf_t** out) override { return none(out); }
    int vlanLibGetVlanIfByInstance(uint32_t, vlanIf_t** out) override { return none(out); }
    int vlanLibGetLifBySlotPort(uint16_t, uint16_t, lif_t** out) override { return none(out); }
    vpif_t* vlanLibGetFirstVpifOnPort(lif_t*) override { return nullptr; }
    vpif_t* vlanLibGetNextVpifOnPort(lif_t*, vlanIf_t*) override { return nullptr; }
    vpif_t* getFirstVpifOnVlan(vlanIf_t*) override { return nullptr; }
    vpif_t* getNextVpifOnVlan(vlanIf_t*, lif_t*) override { return nullptr; }
    vpif_t* vlanLibGetVpifByVlanInstanceAndPortInstance(uint32_t, uint32_t) override { return nullptr; }
    vpif_t* vlanLibGetVpifByVlanSlotPort(vlanIf_t*, lif_t*) override { return nullptr; }
    int vlanLibVpifUpAndForwarding(vpif_t*) override { return 0; }
    int vlanLibIsPortLinkUp(uint32_t) override { return 0; }
    int isPortATrunk(lif_t*) override { return 0; }
    int isPortPartOfTrunk(lif_t*) override { return 0; }
    pif_t* vlanLibGetActivePortOnLif(lif_t*) override { return nullptr; }
    pif_t* getFirstPifOnLif(lif_t*) override { return nullptr; }
    pif_t* getNextPifOnLif(lif_t*, pif_t*) override { return nullptr; }
    int vlanLibSetPortAdminState(const uint32_t*, int, int) override { return -1; }
    int openKypkt() override { return noDevice(); }
    int attachKypktFilter(int, kypktFilterSpec_t*) override { return noDevice(); }
    int detachKypktFilter(int, uint32_t) override { return noDevice(); }
    int sendKypkt(int, const uint8_t*, uint32_t, int, int, uint32_t, int, const uint32_t*, int) override {
        return noDevice();
    }
    int recvKypkt(int, uint8_t*, uint32_t, uint32_t*, uint32_t*, uint32_t*, uint16_t*, uint16_t*, int,
                  int) override {
        return noDevice();
    }
    int peekKypkt(int, kypktQueued_t*, int) override { return 0; }
    int fdbInit(fdbCallback_t, int) override { return 0; }
    int fdbMacAdd(int, const fdbKey_t*, const uint8_t*, int, int, int) override { return -1; }
    int fdbMacDelete(int, const fdbKey_t*, const uint8_t*, int) override { return -1; }
    std::string portName(uint32_t word) override {
        return std::to_string(word >> 16) + ":" + std::to_string(word & 0xffff);
    }
    bool parsePortName(const std::string&, uint32_t*) override { return false; }
    std::vector<SwitchPortInfo> listPorts() override { return {}; }
    std::vector<vlanIf_t> listVlans() override { return {}; }
    LabResult labCommand(const std::vector<std::string>&) override { return {false, "no switch", "", ""}; }
    void reset() override {}

  private:
    template <class T>
    static int none(T** out) {
        if (out) *out = nullptr;
        return 0;
    }
    static int noDevice() {
        errno = ENODEV;
        return -1;
    }
};

NoSwitch gNoSwitch;
constinit SwitchBackend* gSwitch = nullptr;

}  // namespace

void installSwitch(SwitchBackend& backend) { gSwitch = &backend; }
SwitchBackend& activeSwitch() { return gSwitch ? *gSwitch : gNoSwitch; }
bool hasSwitch() { return gSwitch != nullptr; }

}  // namespace mira

using mira::activeSwitch;

int vlanLibGetVlanIfByName(const char* name, vlanIf_t** out) {
    return activeSwitch().vlanLibGetVlanIfByName(name, out);
}
int vlanLibGetVlanIfByInstance(uint32_t instance, vlanIf_t** out) {
    return activeSwitch().vlanLibGetVlanIfByInstance(instance, out);
}
int vlanLibGetLifBySlotPort(uint16_t slot, uint16_t port, lif_t** out) {
    return activeSwitch().vlanLibGetLifBySlotPort(slot, port, out);
}
vpif_t* vlanLibGetFirstVpifOnPort(lif_t* lif) { return activeSwitch().vlanLibGetFirstVpifOnPort(lif); }
vpif_t* vlanLibGetNextVpifOnPort(lif_t* lif, vlanIf_t* current) {
    return activeSwitch().vlanLibGetNextVpifOnPort(lif, current);
}
vpif_t* getFirstVpifOnPort(lif_t* lif) { return activeSwitch().vlanLibGetFirstVpifOnPort(lif); }
vpif_t* getNextVpifOnPort(lif_t* lif, vlanIf_t* current) {
    return activeSwitch().vlanLibGetNextVpifOnPort(lif, current);
}
vpif_t* getFirstVpifOnVlan(vlanIf_t* vlanIf) { return activeSwitch().getFirstVpifOnVlan(vlanIf); }
vpif_t* getNextVpifOnVlan(vlanIf_t* vlanIf, lif_t* current) {
    return activeSwitch().getNextVpifOnVlan(vlanIf, current);
}
vpif_t* vlanLibGetVpifByVlanInstanceAndPortInstance(uint32_t vlanIfInstance, uint32_t portWord) {
    return activeSwitch().vlanLibGetVpifByVlanInstanceAndPortInstance(vlanIfInstance, portWord);
}
vpif_t* vlanLibGetVpifByVlanSlotPort(vlanIf_t* vlanIf, lif_t* lif) {
    return activeSwitch().vlanLibGetVpifByVlanSlotPort(vlanIf, lif);
}
vpif_t* getVpifByVlanSlotPort(vlanIf_t* vlanIf, lif_t* lif) {
    return activeSwitch().vlanLibGetVpifByVlanSlotPort(vlanIf, lif);
}
int vlanLibVpifUpAndForwarding(vpif_t* vpif) { return activeSwitch().vlanLibVpifUpAndForwarding(vpif); }
int vlanLibIsPortLinkUp(uint32_t portWord) { return activeSwitch().vlanLibIsPortLinkUp(portWord); }
int isPortATrunk(lif_t* lif) { return activeSwitch().isPortATrunk(lif); }
int isPortPartOfTrunk(lif_t* lif) { return activeSwitch().isPortPartOfTrunk(lif); }
pif_t* vlanLibGetActivePortOnLif(lif_t* lif) { return activeSwitch().vlanLibGetActivePortOnLif(lif); }
pif_t* getFirstPifOnLif(lif_t* lif) { return activeSwitch().getFirstPifOnLif(lif); }
pif_t* getNextPifOnLif(lif_t* lif, pif_t* current) { return activeSwitch().getNextPifOnLif(lif, current); }
int vlanLibSetPortAdminState(const uint32_t* ports, int count, int state) {
    return activeSwitch().vlanLibSetPortAdminState(ports, count, state);
}

int openKypkt(void) { return activeSwitch().openKypkt(); }
int attachKypktFilter(int fd, kypktFilterSpec_t* spec) { return activeSwitch().attachKypktFilter(fd, spec); }
int detachKypktFilter(int fd, uint32_t filterId) { return activeSwitch().detachKypktFilter(fd, filterId); }
int sendKypkt(int fd, const uint8_t* frame, uint32_t length, int kind, int a, uint32_t vlanIfInstance, int count,
              const uint32_t* port, int b) {
    return activeSwitch().sendKypkt(fd, frame, length, kind, a, vlanIfInstance, count, port, b);
}
int recvKypkt(int fd, uint8_t* frame, uint32_t maxLength, uint32_t* scratch, uint32_t* vlanIfInstance,
              uint32_t* rxInfo, uint16_t* inPif, uint16_t* inLif, int a, int b) {
    return activeSwitch().recvKypkt(fd, frame, maxLength, scratch, vlanIfInstance, rxInfo, inPif, inLif, a, b);
}
int peekKypkt(int fd, kypktQueued_t* out, int max) { return activeSwitch().peekKypkt(fd, out, max); }

int fdb_client_Init(fdbCallback_t cb, int a) { return activeSwitch().fdbInit(cb, a); }
int fdb_client_Mac_Add(int kind, const fdbKey_t* key, const uint8_t* mac, int flags, int a, int b) {
    return activeSwitch().fdbMacAdd(kind, key, mac, flags, a, b);
}
int fdb_client_Mac_Delete(int kind, const fdbKey_t* key, const uint8_t* mac, int a) {
    return activeSwitch().fdbMacDelete(kind, key, mac, a);
}
