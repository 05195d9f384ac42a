#include "support/harness.h"

#include <gtest/gtest.h>

#include "cmbackend.h"
#include "frame/coil_main.h"
#include "mira/core/loop.h"
#include "mira/core/platform.h"
#include "mira/sim/switch.h"
#include "mira/sim/topology.h"
#include "support/reset.h"

namespace coiltest {

const char* const kTwoSlotChassis = R"(# test chassis
chassis mac 02:00:00:c0:11:01 slots 2 first 1 ports 8
trunk 3:1 members 1:5-1:7
vlan blue instance 100 tag 100 ports 1:1-1:4,3:1
vlan red instance 200 tag 200 ports 1:1,1:2,2:1
)";

Harness::Harness(std::string_view topology, bool enable) {
    resetDaemonAndPlatform();
    mira::captureLog(&log_);
    std::string error;
    if (!mira::loadTopology(topology, "test.topo", &error)) ADD_FAILURE() << error;
    mira::setFrameTap([this](uint32_t port, bool leaving, std::span<const uint8_t> bytes) {
        frames_.push_back(Frame{port, leaving, {bytes.begin(), bytes.end()}, mira::monoUsec()});
    });
    mira::startAutostart();
    coil_main();
    advance(1);  // the start chain runs in the first milliseconds
    if (enable) {
        auto r = set("coilGlobalCfg", {{"enable", "true"}, {"rowStatus", "active"}});
        if (r.result != 1) ADD_FAILURE() << "enable failed: " << r.message;
    }
}

Harness::~Harness() {
    mira::setFrameTap(nullptr);
    mira::captureLog(nullptr);
}

void Harness::advance(int64_t seconds) { mira::advanceSeconds(seconds); }
void Harness::advanceUsec(int64_t usec) { mira::advance(usec); }

mira::CmResult Harness::set(std::string_view object, const std::vector<mira::CmAttr>& attrs, uint32_t flags) {
    return mira::cmRun("set", object, attrs, flags);
}

mira::CmResult Harness::get(std::string_view object, const std::vector<mira::CmAttr>& attrs, uint32_t flags) {
    return mira::cmRun("get", object, attrs, flags);
}

mira::CmResult Harness::configure(std::string_view vlan, const std::vector<mira::CmAttr>& extra,
                                  std::string_view client) {
    std::vector<mira::CmAttr> attrs{{"clientIdentifier", std::string(client)},
                                    {"vlanIfInstance", "0"},
                                    {"vlan", std::string(vlan)},
                                    {"rowStatus", "createAndGo"}};
    attrs.insert(attrs.end(), extra.begin(), extra.end());
    return set("coilServiceNode", attrs);
}

mira::CmResult Harness::unconfigure(std::string_view vlan, std::string_view client) {
    return set("coilServiceNode", {{"clientIdentifier", std::string(client)},
                                   {"vlanIfInstance", "0"},
                                   {"vlan", std::string(vlan)},
                                   {"rowStatus", "destroy"}});
}

int Harness::logCount(std::string_view needle) const {
    int n = 0;
    for (const std::string& line : log_)
        if (line.find(needle) != std::string::npos) n++;
    return n;
}

std::vector<Frame> Harness::framesOut(std::optional<uint32_t> port) const {
    std::vector<Frame> out;
    for (const Frame& f : frames_)
        if (f.leaving && (!port || f.port == *port)) out.push_back(f);
    return out;
}

}  // namespace coiltest
