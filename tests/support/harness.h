// The in-process test harness: a simulated switch from an inline topology,
// the daemon started on it in virtual time, operator requests through the
// configuration manager's path, the event log and the frames on each port.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mira/core/cmmgr.h"
#include "mira/core/loop.h"
#include "mira/core/platform.h"
#include "mira/sim/tap.h"

namespace coiltest {

// A small chassis (2 slots of 8 ports, slot numbers from 1),
// VLAN "blue" (instance 100, tag 100) on 1:1-1:4 and the trunk 3:1 of
// 1:5-1:7, VLAN "red" (instance 200, tag 200) on 1:1, 1:2, 2:1. No cables.
extern const char* const kTwoSlotChassis;

struct Frame {
    uint32_t port;  // port word
    bool leaving;   // true: left the switch by the port; false: entered it
    std::vector<uint8_t> bytes;
    int64_t usec;   // loop time
};

class Harness {
  public:
    // Loads the topology, starts the daemon, runs its start-up to the end
    // (every peer ready) and enables loop detection for operators.
    explicit Harness(std::string_view topology = kTwoSlotChassis, bool enable = true);
    ~Harness();
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    void advance(int64_t seconds);
    void advanceUsec(int64_t usec);

    // Operator requests, as the configuration manager would send them.
    mira::CmResult set(std::string_view object, const std::vector<mira::CmAttr>& attrs, uint32_t flags = 0);
    mira::CmResult get(std::string_view object, const std::vector<mira::CmAttr>& attrs, uint32_t flags);
    // A service of client "1" on a VLAN (rowStatus createAndGo); extra
    // attributes as given (interval, retry, action, ports, disablePort, ...).
    mira::CmResult configure(std::string_view vlan, const std::vector<mira::CmAttr>& extra,
                             std::string_view client = "1");
    mira::CmResult unconfigure(std::string_view vlan, std::string_view client = "1");

    // The event log, line by line, since the start or the last clearLog().
    const std::vector<std::string>& log() const { return log_; }
    int logCount(std::string_view needle) const;
    bool logHas(std::string_view needle) const { return logCount(needle) > 0; }
    void clearLog() { log_.clear(); }

    // Frames that left the switch (by `port` when given) since the start or clearFrames().
    std::vector<Frame> framesOut(std::optional<uint32_t> port = std::nullopt) const;
    void clearFrames() { frames_.clear(); }

  private:
    std::vector<std::string> log_;
    std::vector<Frame> frames_;
};

constexpr uint32_t port(uint32_t slot, uint32_t number) { return slot << 16 | number; }

}  // namespace coiltest
