// Directory service: gives each registered name a messaging port, the same
// one for the same name. Non-blocking registrations answer through the loop.
// With a run directory, each name given a port is also published there as
// <run-dir>/NAME.port (the port in decimal, a newline), so that processes
// outside find the server; the records go when the platform is reset or the
// process ends. A record that cannot be written (a full disk) is logged and
// tried again every second until it is.
#include "ds.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "mira/core/core_internal.h"
#include "mira/core/ipml_wire.h"
#include "mira/core/loop.h"
#include "mira/core/own_file.h"
#include "mira/core/platform.h"

namespace {

constexpr uint16_t kFirstPort = 7100;

struct Ds {
    std::map<std::string, uint16_t> ports;
    uint16_t nextPort = kFirstPort;
    int refusals = 0;
    int callbackFailures = 0;
    std::map<std::string, mira::OwnFile> published;  // record files written
    std::map<std::string, uint64_t> retrying;  // name -> work item that writes its record again

    void unpublish() {
        for (const auto& [path, file] : published) mira::removeOwnFile(path, file);
        published.clear();
        for (const auto& [name, item] : retrying) mira::removeWorkItem(item);
        retrying.clear();
    }
    ~Ds() { unpublish(); }
};

Ds& ds() {
    static Ds instance;
    return instance;
}

// Names that can be file names as they stand.
bool publishable(const std::string& name) {
    if (name.empty() || name[0] == '.') return false;
    for (char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.')) return false;
    return true;
}

// Written whole under a temporary name, then renamed: a reader never sees
// half a record. False with errno set when it could not be written.
bool writeRecord(const std::string& path, uint16_t port) {
    const std::string temporary = path + ".tmp";
    FILE* f = std::fopen(temporary.c_str(), "w");
    if (!f) return false;
    const bool written = std::fprintf(f, "%u\n", unsigned(port)) > 0;
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int why = errno;
        ::unlink(temporary.c_str());
        errno = why;
        return false;
    }
    return true;
}

void publish(const std::string& name, uint16_t port) {
    const std::string& dir = mira::runDir();
    if (dir.empty() || !publishable(name)) return;
    const std::string path = dir + "/" + mira::dsRecordName(name);
    Ds& d = ds();
    if (writeRecord(path, port)) {
        d.published[path] = mira::ownFileAt(path);
        return;
    }
    if (d.retrying.count(name)) return;
    mira::logLine("WARNING", "ds", "cannot publish " + path + ": " + std::strerror(errno) + "; trying again every second");
    d.retrying[name] = mira::addWorkItem(1'000'000, true, [name, path, port] {
        Ds& again = ds();
        if (!writeRecord(path, port)) return;
        again.published[path] = mira::ownFileAt(path);
        mira::removeWorkItem(again.retrying[name]);
        again.retrying.erase(name);
        mira::logLine("INFO", "ds", "published " + path);
    });
}

void fill(dsRegistration_t* out, const std::string& name) {
    Ds& d = ds();
    auto [it, added] = d.ports.emplace(name, d.nextPort);
    if (added) ++d.nextPort;
    std::memset(out, 0, sizeof *out);
    out->port = it->second;
    std::strncpy(out->name, name.c_str(), sizeof out->name - 1);
    publish(name, it->second);
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

std::string dsRecordName(const std::string& name) { return name + ".port"; }

uint16_t dsPortOf(const std::string& name) {
    auto it = ds().ports.find(name);
    return it == ds().ports.end() ? 0 : it->second;
}

void refuseDsRegistrations(int n) { ds().refusals = n; }
void failDsCallbacks(int n) { ds().callbackFailures = n; }

namespace core {
void resetDs() {
    Ds& d = ds();
    d.unpublish();
    d.ports.clear();
    d.nextPort = kFirstPort;
    d.refusals = 0;
    d.callbackFailures = 0;
}
}  // namespace core
}  // namespace mira
