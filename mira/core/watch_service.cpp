// What the daemon reports to the watch service: per-port loop counts, and
// one message per event for whoever watches.
#include "mira/core/watch_service.h"

#include <unordered_map>

#include "miracommon.h"
#include "mira/core/core_internal.h"
#include "mira/core/switch_backend.h"
#include "watch.h"

namespace mira {

namespace {

struct State {
    std::unordered_map<uint32_t, PortLoops> loops;  // counted per returned probe, so hashed
    WatchSink sink;
};

State& state() {
    static State s;
    return s;
}

const char* kindWord(uint32_t kind) {
    switch (kind) {
        case WATCH_LOOP: return "loop";
        case WATCH_NO_LOOP: return "no-loop";
        case WATCH_PORT_DISABLED: return "port-disabled";
        case WATCH_PORT_ENABLED: return "port-enabled";
        case WATCH_SERVICE_ADDED: return "service-added";
        case WATCH_SERVICE_REMOVED: return "service-removed";
        default: return "unknown";
    }
}

std::string portText(uint32_t word) { return word == 0 ? "" : activeSwitch().portName(word); }

}  // namespace

PortLoops portLoops(uint32_t portWord) {
    auto it = state().loops.find(portWord);
    return it == state().loops.end() ? PortLoops{} : it->second;
}

void setWatchSink(WatchSink sink) { state().sink = std::move(sink); }

namespace core {
void resetWatch() { state() = State{}; }
}  // namespace core

}  // namespace mira

void watchNotify(const watchEvent_t* event) {
    using mira::state;
    const std::time_t now = miraTime(nullptr);
    if (event->kind == WATCH_LOOP && event->portWord != 0) {
        mira::PortLoops& p = state().loops[event->portWord];
        p.loops++;
        p.last = now;
    }
    if (!state().sink) return;
    mira::control::Message m;
    m.add("event", mira::kindWord(event->kind)).add("time", mira::isoLocalTime(now));
    m.add("client", event->clientId).add("vlan", event->vlan);
    m.add("instance", std::to_string(event->vlanIfInstance)).add("service", std::to_string(event->serviceId));
    if (event->portWord != 0) m.add("port", mira::portText(event->portWord));
    if (event->egressWord != 0) m.add("egress", mira::portText(event->egressWord));
    if (event->kind == WATCH_PORT_DISABLED) m.add("hold", std::to_string(event->holdSeconds));
    state().sink(m);
}
