// The stand-in's whole-platform controls: reset for tests and the autostart
// that plays the rest of the switch coming up.
#include "mira/core/platform.h"

#include <string>
#include <vector>

#include "mira/core/core_internal.h"
#include "mira/core/loop.h"
#include "mira/core/switch_backend.h"
#include "mira/core/vlanmgr.h"

namespace {

std::string& runDirectory() {
    static std::string dir;
    return dir;
}

std::string& stateDirectory() {
    static std::string dir;
    return dir;
}

std::vector<uint64_t>& autostartItems() {
    static std::vector<uint64_t> items;
    return items;
}

}  // namespace

namespace mira {

void setRunDir(const std::string& dir) { runDirectory() = dir; }
const std::string& runDir() { return runDirectory(); }
void setStateDir(const std::string& dir) { stateDirectory() = dir; }
const std::string& stateDir() { return stateDirectory().empty() ? runDirectory() : stateDirectory(); }

void startAutostart() {
    using Step = void (*)();
    static const Step steps[] = {
        [] { loadLibrary("dslib"), loadLibrary("dmlib"), loadLibrary("emslib"); },
        [] { setProcessState("cfgmgr", kProcessReady), setProcessState("cli", kProcessReady); },
        [] { loadLibrary("cliSubagent"), loadLibrary("cmBackend"); },
        [] { setProcessState("vlan", kProcessReady); },
        [] { loadLibrary("vlanLib"); },
        [] { setProcessState("fdb", kProcessReady); },
        [] { setProcessState("snmpSubagent", kProcessReady); },
    };
    constexpr int64_t kStepUsec = 5'000;
    int64_t delay = kStepUsec;
    for (Step step : steps) {
        autostartItems().push_back(addWorkItem(delay, false, step));
        delay += kStepUsec;
    }
}

void resetPlatform() {
    resetLoop();
    core::resetAutostart();
    core::resetVok();
    core::resetIpml();
    core::resetDs();
    core::resetDm();
    core::resetLm();
    core::resetTimers();
    core::resetSnmp();
    core::resetCli();
    core::resetEms();
    core::resetCommon();
    core::resetWatch();
    vlanmgr::clearTables();
    activeSwitch().reset();
}

namespace core {
void resetAutostart() {
    for (uint64_t id : autostartItems()) removeWorkItem(id);
    autostartItems().clear();
}
}  // namespace core

}  // namespace mira
