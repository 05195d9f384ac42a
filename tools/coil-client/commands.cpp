// coil-client's commands: connect, send the request, and for watch print
// the reports as they come.
#include <csignal>
#include <ctime>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "coil_client_tool.h"

namespace coilclient {

namespace {

volatile sig_atomic_t gStop = 0;

void onSignal(int) { gStop = 1; }

double nowSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

struct Closer {
    void operator()(coilClient* c) const { coilClientClose(c); }
};
using Client = std::unique_ptr<coilClient, Closer>;

// Tries until connected or --wait runs out (coild may still be starting).
Client connect(const Options& o) {
    const double until = nowSeconds() + o.waitSeconds;
    char error[512] = "";
    for (;;) {
        coilClient* c = o.socketPath.empty()
                            ? coilClientConnect(o.runDir.empty() ? nullptr : o.runDir.c_str(), error, sizeof error)
                            : coilClientConnectSocket(o.socketPath.c_str(), error, sizeof error);
        if (c != nullptr) {
            coilClientSetFirstSlot(c, o.firstSlot);
            return Client(c);
        }
        if (nowSeconds() >= until) break;
        timespec pause{0, 100'000'000};
        nanosleep(&pause, nullptr);
    }
    std::fprintf(stderr, "coil-client: %s\n", error);
    return nullptr;
}

bool failed(const Client& c, const char* what) {
    std::fprintf(stderr, "coil-client: %s: %s\n", what, coilClientError(c.get()));
    return false;
}

bool startPoll(const Client& c, const Options& o) {
    if (coilClientStartPoll(c.get(), o.key.clientId.c_str(), o.key.vlanIfInstance, o.count, o.interval,
                            o.ports.data(), o.ports.size()) != 0)
        return failed(c, "start");
    return true;
}

bool registerAndStart(const Client& c, const Options& o) {
    const char* id = o.key.clientId.c_str();
    if (coilClientRegister(c.get(), id, o.key.vlanIfInstance, o.ports.data(), o.ports.size()) != 0)
        return failed(c, "register");
    return startPoll(c, o);
}

int watch(const Client& c, const Options& o) {
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    if (o.haveKey && !registerAndStart(c, o)) return kExitUnreachable;

    const double until = o.timeout > 0 ? nowSeconds() + o.timeout : 0;
    // A restart waits the poll's interval after the report: on a loop that
    // stays, restarting at once would probe as fast as reports come back.
    double restartAt = 0;
    long seen = 0;
    while (!gStop) {
        if (o.reports > 0 && seen >= o.reports) return kExitOk;
        if (restartAt > 0 && nowSeconds() >= restartAt) {
            restartAt = 0;
            if (!startPoll(c, o)) return kExitUnreachable;
        }
        int slice = 250;  // wakes now and then to notice a signal
        if (restartAt > 0) slice = std::min(slice, int((restartAt - nowSeconds()) * 1000) + 1);
        if (until > 0) {
            const double left = until - nowSeconds();
            // Ending at --timeout is the plan unless reports were still due.
            if (left <= 0) return o.reports > 0 ? kExitUnreachable : kExitOk;
            if (left * 1000 < slice) slice = int(left * 1000) + 1;
        }
        coilClientReport report;
        const int got = coilClientReceive(c.get(), &report, std::max(slice, 1));
        if (got < 0) {
            std::fprintf(stderr, "coil-client: %s\n", coilClientError(c.get()));
            return kExitUnreachable;
        }
        if (got == 0) continue;
        ++seen;
        std::printf("%s\n", (o.json ? reportJson(report) : reportLine(report)).c_str());
        std::fflush(stdout);
        if (o.restart && o.haveKey && restartAt == 0) restartAt = nowSeconds() + o.interval;
    }
    return kExitOk;
}

std::string vlanNames(const std::vector<VlanInfo>& vlans) {
    std::string names;
    for (const VlanInfo& v : vlans) names += (names.empty() ? "" : ", ") + v.name;
    return names;
}

// The key's VLAN (a name or an instance number) as an instance of a VLAN
// that exists: kExitOk, or kExitRefused with the names that exist, or
// kExitUnreachable when coild does not answer within --wait.
int resolveVlan(Options* o) {
    std::vector<VlanInfo> vlans;
    std::string error;
    const double until = nowSeconds() + o->waitSeconds;
    while (!listVlans(*o, &vlans, &error)) {
        if (nowSeconds() >= until) {
            std::fprintf(stderr, "coil-client: cannot look up VLAN %s: %s\n", o->key.vlan.c_str(), error.c_str());
            return kExitUnreachable;
        }
        timespec pause{0, 100'000'000};
        nanosleep(&pause, nullptr);
    }
    for (const VlanInfo& v : vlans) {
        if (v.name == o->key.vlan || std::to_string(v.instance) == o->key.vlan) {
            o->key.vlanIfInstance = v.instance;
            o->key.vlan = v.name;
            return kExitOk;
        }
    }
    std::fprintf(stderr, "coil-client: no VLAN named or numbered %s\nthe VLANs are: %s\n", o->key.vlan.c_str(),
                 vlanNames(vlans).c_str());
    return kExitRefused;
}

// False, having said why, when the request would change nothing: a
// register of a service that exists, or a request for one that does not.
bool hasEffect(const Options& o) {
    std::string error;
    const int exists = serviceExists(o, &error);
    if (exists < 0) return true;  // coild will tell by doing nothing; nothing to add
    const std::string what = "service " + o.key.clientId + " on VLAN " + o.key.vlan + " (instance " +
                             std::to_string(o.key.vlanIfInstance) + ")";
    if (o.command == "register" && exists == 1) {
        std::fprintf(stderr, "coil-client: %s exists already: register has no effect\n", what.c_str());
        return false;
    }
    if (o.command != "register" && o.command != "watch" && exists == 0) {
        std::fprintf(stderr, "coil-client: no %s: %s has no effect\n", what.c_str(), o.command.c_str());
        return false;
    }
    return true;
}

// A deregister of another connection's service is ignored unless coild
// shares services between client daemons: say so when it is still there.
int confirmDeregistered(const Options& o) {
    std::string error;
    for (int i = 0; i < 20; i++) {
        if (serviceExists(o, &error) == 0) return kExitOk;
        timespec pause{0, 50'000'000};
        nanosleep(&pause, nullptr);
    }
    std::fprintf(stderr,
                 "coil-client: coild kept service %s on VLAN %s: it belongs to another connection (coild "
                 "--clients-share-services lets any client daemon remove it)\n",
                 o.key.clientId.c_str(), o.key.vlan.c_str());
    return kExitRefused;
}

int listVlanCommand(const Options& o) {
    std::vector<VlanInfo> vlans;
    std::string error;
    if (!listVlans(o, &vlans, &error)) {
        std::fprintf(stderr, "coil-client: %s\n", error.c_str());
        return kExitUnreachable;
    }
    if (o.json) {
        nlohmann::ordered_json all = nlohmann::ordered_json::array();
        for (const VlanInfo& v : vlans)
            all.push_back({{"name", v.name}, {"instance", v.instance}, {"tag", v.tag}, {"ports", v.ports}});
        std::printf("%s\n", jsonText(all).c_str());
        return kExitOk;
    }
    int width = 4;
    for (const VlanInfo& v : vlans) width = std::max(width, int(v.name.size()));
    std::printf("%-*s  INSTANCE  TAG   PORTS\n", width, "VLAN");
    for (const VlanInfo& v : vlans)
        std::printf("%-*s  %-8u  %-4u  %s\n", width, v.name.c_str(), v.instance, v.tag, v.ports.c_str());
    return kExitOk;
}

}  // namespace

int runCommand(Options o) {
    if (o.command == "vlans") return listVlanCommand(o);
    if (o.haveKey) {
        if (const int status = resolveVlan(&o); status != kExitOk) return status;
        if (!hasEffect(o)) return kExitRefused;
    }
    Client c = connect(o);
    if (!c) return kExitUnreachable;
    const char* id = o.key.clientId.c_str();
    const uint32_t vlan = o.key.vlanIfInstance;
    bool ok = true;
    if (o.command == "register") {
        ok = coilClientRegister(c.get(), id, vlan, o.ports.data(), o.ports.size()) == 0 || failed(c, "register");
    } else if (o.command == "start") {
        ok = startPoll(c, o);
    } else if (o.command == "stop") {
        ok = coilClientStopPoll(c.get(), id, vlan) == 0 || failed(c, "stop");
    } else if (o.command == "deregister") {
        ok = coilClientDeregister(c.get(), id, vlan) == 0 || failed(c, "deregister");
        if (ok) return confirmDeregistered(o);
    } else {
        return watch(c, o);
    }
    return ok ? kExitOk : kExitUnreachable;
}

}  // namespace coilclient
