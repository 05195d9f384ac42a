// Common library: process identity, system MAC, assertion core hook and the
// clocks, all read from the loop so virtual time governs them.
#include "miracommon.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "mira/core/core_internal.h"
#include "mira/core/loop.h"
#include "mira/core/platform.h"

namespace {

constexpr uint8_t kDefaultMac[6] = {0x02, 0x00, 0x00, 0xc0, 0x11, 0x01};

struct Identity {
    std::string processName;
    uint8_t mac[6];
};

Identity& identity() {
    static Identity id{{}, {kDefaultMac[0], kDefaultMac[1], kDefaultMac[2], kDefaultMac[3], kDefaultMac[4], kDefaultMac[5]}};
    return id;
}

}  // namespace

namespace mira {

void setSystemMac(const uint8_t mac[6]) { std::memcpy(identity().mac, mac, 6); }

namespace core {
void resetCommon() {
    identity().processName.clear();
    std::memcpy(identity().mac, kDefaultMac, 6);
}
}  // namespace core
}  // namespace mira

void miraSetProcessName(const char* name) { identity().processName = name ? name : ""; }

const char* miraGetProcessName(void) { return identity().processName.c_str(); }

void miraAssertCore(int flag, const char* file, int line, const char* func, const char* expr) {
    char text[512];
    std::snprintf(text, sizeof text, "%s: %s:%d %s(): %s%s", miraGetProcessName(), file ? file : "?", line,
                  func ? func : "?", expr ? expr : "?", flag ? " (core requested)" : "");
    mira::logLine("CRITICAL", "mira.AssertCore", text);
}

int getSystemMac(uint8_t* mac, int) {
    if (!mac) return -1;
    std::memcpy(mac, identity().mac, 6);
    return 0;
}

int getmonotimeofday(miraTimeval_t* tv) {
    if (!tv) return -1;
    int64_t now = mira::monoUsec();
    tv->tv_sec = int32_t(now / 1'000'000);
    tv->tv_usec = int32_t(now % 1'000'000);
    return 0;
}

time_t miraTime(time_t* out) {
    time_t now = time_t(mira::wallUsec() / 1'000'000);
    if (out) *out = now;
    return now;
}

const char* miraAsctime(time_t t) {
    static char text[64];
    tm parts{};
    if (!localtime_r(&t, &parts) || !asctime_r(&parts, text)) std::snprintf(text, sizeof text, "??? ??? ?? ??:??:?? ????\n");
    return text;
}
