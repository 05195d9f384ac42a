// What the daemon reports to the watch service: per-port loop counts, and
// one message per event for whoever watches.
#include "mira/core/watch_service.h"

#include <unordered_map>
#include <vector>

#include "miracommon.h"
#include "mira/core/core_internal.h"
#include "mira/core/flat_port_table.h"
#include "mira/core/switch_backend.h"
#include "watch.h"

namespace mira {

namespace {

// Counted per returned probe: in a flat table by port word, others hashed.
struct State {
    std::vector<PortLoops> flatLoops;
    std::unordered_map<uint32_t, PortLoops> loops;
    WatchSink sink;

    PortLoops* find(uint32_t word) {
        if (!flatPortWord(word)) {
            auto it = loops.find(word);
            return it == loops.end() ? nullptr : &it->second;
        }
        return flatPortIndex(word) < flatLoops.size() ? &flatLoops[flatPortIndex(word)] : nullptr;
    }
    PortLoops& at(uint32_t word) {
        if (!flatPortWord(word)) return loops[word];
        if (flatPortIndex(word) >= flatLoops.size()) flatLoops.resize(flatPortIndex(word) + 1);
        return flatLoops[flatPortIndex(word)];
    }
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
    const PortLoops* p = state().find(portWord);
    return p ? *p : PortLoops{};
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
        mira::PortLoops& p = state().at(event->portWord);
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
