// Saved configuration files as coild replays them at start-up: end line and
// checksum checked, read, parsed, every record built and every value
// converted by the daemon's objects, then applied. A file that is refused
// must leave the configuration exactly as it was, and its error must name
// the file. A file refused for its end line is then replayed again with the
// right end line, so that mutations also reach the records of sealed files;
// that one must not be refused. Every service the input created is removed
// and the global settings put back after it.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "clients/coil_service.h"
#include "fuzz_daemon.h"
#include "mira/core/saved_config.h"

using namespace coilfuzz;

namespace {

bool baseline(const coilServiceNode* sr) {
    const std::string_view client(sr->hdr.clientId);
    return (sr->hdr.vlanIfInstance == kBlue && (client == "1" || client == "2")) ||
           (sr->hdr.vlanIfInstance == kRed && (client == "1" || client == "d"));
}

// Every configured value: the global settings and each service's header,
// target and state, as bytes (rendering them through the objects costs
// milliseconds per input).
std::string snapshot() {
    std::string out;
    auto put = [&out](const void* p, size_t n) { out.append(static_cast<const char*>(p), n); };
    put(&coilGlobal.coilEnable, sizeof coilGlobal.coilEnable);
    put(&coilGlobal.disablePortWaitTime, sizeof coilGlobal.disablePortWaitTime);
    for (const coilServiceNode* sr = coilFirstService(); sr != nullptr; sr = coilNextService(const_cast<coilServiceNode*>(sr))) {
        put(&sr->hdr, sizeof sr->hdr);
        put(&sr->target, sizeof sr->target);
        put(&sr->state, sizeof sr->state);
    }
    return out;
}

void restore() {
    for (coilServiceNode* sr = coilFirstService(); sr != nullptr;) {
        coilServiceNode* next = coilNextService(sr);
        if (!baseline(sr)) coilNodeCleanup(sr);
        sr = next;
    }
    mira::cmRun("set", "coilGlobalCfg", {{"enable", "true"}, {"disablePortWaitTime", "2"}, {"rowStatus", "active"}});
    ensureFrameServices();
}

// In memory where there is a tmpfs: a file rewritten in place on a disk
// file system is flushed at every close.
const std::string& filePath() {
    static const std::string path =
        std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/coil-fuzz-saved-" +
        std::to_string(::getpid()) + ".conf";
    static const bool removedAtExit = std::atexit([] { ::unlink(path.c_str()); }) == 0;
    (void)removedAtExit;
    return path;
}

bool writeInput(std::string_view text) {
    FILE* f = std::fopen(filePath().c_str(), "wb");
    if (f == nullptr) return false;
    const bool written = text.empty() || std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && written;
}

// Replays the file; false when it was refused.
bool replayChecked() {
    const std::string before = snapshot();
    const mira::ReplayOutcome out = mira::replaySavedConfig(filePath());
    settle();
    if (out.refused && (snapshot() != before || out.applied != 0 || out.error.rfind(filePath(), 0) != 0))
        __builtin_trap();
    for (const std::string& problem : out.problems)
        if (problem.rfind(filePath() + ":", 0) != 0) __builtin_trap();
    restore();
    return !out.refused;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    startDaemon(DM_NODE_STATE_PRIMARY);
    ensureFrameServices();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!writeInput(text) || replayChecked()) return 0;
    // Sealed again: the header, the body (everything up to its last line)
    // and the end line that fits them.
    const size_t last = text.size() < 2 ? 0 : text.rfind('\n', text.size() - 2) + 1;
    std::string body(text.substr(0, last));
    const std::string header = std::string(mira::kSavedConfigHeader) + "\n";
    if (!body.starts_with(header)) body.insert(0, header);
    if (body.size() > mira::kSavedConfigMaxBytes / 2) return 0;
    if (!writeInput(body + mira::savedConfigEndLine(body)) || !replayChecked()) __builtin_trap();
    return 0;
}
