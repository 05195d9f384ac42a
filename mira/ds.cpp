// Directory service: gives each registered name a messaging port, the same
// one for the same name. Non-blocking registrations answer through the loop.
#include "ds.h"

#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "mira/core_internal.h"
#include "mira/loop.h"
#include "mira/platform.h"

namespace {

constexpr uint16_t kFirstPort = 7100;

struct Ds {
    std::map<std::string, uint16_t> ports;
    uint16_t nextPort = kFirstPort;
    int refusals = 0;
    int callbackFailures = 0;
};

Ds& ds() {
    static Ds instance;
    return instance;
}

void fill(dsRegistration_t* out, const std::string& name) {
    Ds& d = ds();
    auto [it, added] = d.ports.emplace(name, d.nextPort);
    if (added) ++d.nextPort;
    std::memset(out, 0, sizeof *out);
    out->port = it->second;
    std::strncpy(out->name, name.c_str(), sizeof out->name - 1);
}

bool liveConnection(ipmlHandle_t conn) { return mira::core::ipmlConnFd(conn) != -2; }

}  // namespace

int dsClientInit(void) { return 0; }

int dsRegister(ipmlHandle_t conn, const char* name, dsRegistration_t* out) {
    if (!liveConnection(conn) || !name || !out) return -1;
    fill(out, name);
    return 0;
}

int dsNBRegister(ipmlHandle_t conn, const char* name, dsCallback_t cb, const void* context) {
    if (!liveConnection(conn) || !name || !cb) return -1;
    Ds& d = ds();
    if (d.refusals > 0) {
        --d.refusals;
        return -1;
    }
    void* ctx = const_cast<void*>(context);
    if (d.callbackFailures > 0) {
        --d.callbackFailures;
        mira::post([cb, ctx] { cb(ctx, nullptr, -1); });
        return 0;
    }
    auto record = std::make_shared<dsRegistration_t>();
    fill(record.get(), name);
    mira::post([cb, ctx, record] { cb(ctx, record.get(), 0); });
    return 0;
}

namespace mira {

uint16_t dsPortOf(const std::string& name) {
    auto it = ds().ports.find(name);
    return it == ds().ports.end() ? 0 : it->second;
}

void refuseDsRegistrations(int n) { ds().refusals = n; }
void failDsCallbacks(int n) { ds().callbackFailures = n; }

namespace core {
void resetDs() { ds() = Ds{}; }
}  // namespace core
}  // namespace mira
