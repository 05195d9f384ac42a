// Replay of the saved configuration and the load event at start-up.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "mira/core/cm.h"
#include "mira/core/loop.h"
#include "mira/core/platform.h"
#include "mira/core/saved_config.h"

namespace mira {

namespace {

// The configuration manager's event that tells an application its stored
// configuration has been loaded.
constexpr int kCmEventLoadDone = 2;
// The daemon reports state 8 once its VLAN library is up.
constexpr int kStateVlanReady = 8;
constexpr int64_t kReadyPollUsec = 10'000;

bool readFile(const std::string& path, std::string* out, ReplayOutcome* outcome) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            outcome->found = true;
            outcome->refused = true;
            outcome->error = path + ": " + std::strerror(errno);
        }
        return false;
    }
    outcome->found = true;
    if (!S_ISREG(st.st_mode) || size_t(st.st_size) > kSavedConfigMaxBytes) {
        outcome->refused = true;
        outcome->error = path + ": not a regular file of at most " + std::to_string(kSavedConfigMaxBytes) + " bytes";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in && !in.eof()) {
        outcome->refused = true;
        outcome->error = path + ": cannot be read";
        return false;
    }
    *out = text.str();
    if (out->size() > kSavedConfigMaxBytes) {
        outcome->refused = true;
        outcome->error = path + ": larger than " + std::to_string(kSavedConfigMaxBytes) + " bytes";
        return false;
    }
    return true;
}

}  // namespace

ReplayOutcome replaySavedConfig(const std::string& path) {
    ReplayOutcome outcome;
    std::string text;
    if (!readFile(path, &text, &outcome)) return outcome;

    std::vector<SavedRecord> records;
    if (!parseSavedConfig(text, path, &records, &outcome.error)) {
        outcome.refused = true;
        return outcome;
    }
    // Every record is built and filled before the first is applied, so a
    // bad value anywhere leaves the daemon untouched.
    std::vector<CmPrepared> prepared(records.size());
    for (size_t i = 0; i < records.size(); i++) {
        std::string why;
        if (!cmPrepare("set", records[i].object, records[i].attrs, &prepared[i], &why)) {
            outcome.refused = true;
            outcome.error = path;
            outcome.error.append(":").append(std::to_string(records[i].line)).append(": ").append(why);
            return outcome;
        }
    }
    for (size_t i = 0; i < records.size(); i++) {
        CmResult r = cmExecute(prepared[i], CM_FLAG_IMPLIED_ROW_STATUS);
        if (r.rc == 1 && r.result != 0) {
            outcome.applied++;
        } else {
            std::string message = r.message;
            while (!message.empty() && message.back() == '\n') message.pop_back();
            std::string problem = path;
            problem.append(":").append(std::to_string(records[i].line)).append(": ");
            problem.append(message.empty() ? "refused" : message);
            outcome.problems.push_back(std::move(problem));
        }
    }
    return outcome;
}

void loadConfigWhenReady(const std::string& path, const std::function<void()>& then) {
    auto id = std::make_shared<uint64_t>(0);
    *id = addWorkItem(kReadyPollUsec, true, [path, id, then] {
        if (cmEventCallback() == nullptr || ownProcessState() < kStateVlanReady) return;
        removeWorkItem(*id);
        ReplayOutcome outcome = replaySavedConfig(path);
        if (outcome.refused) {
            std::fprintf(stderr, "coild: saved configuration refused, starting without it: %s\n",
                         outcome.error.c_str());
            logLine("ERROR", "cfgmgr", "saved configuration refused, starting without it: " + outcome.error);
        } else if (outcome.found) {
            for (const std::string& problem : outcome.problems) logLine("WARNING", "cfgmgr", problem);
            logLine("INFO", "cfgmgr",
                    "saved configuration " + path + " replayed: " + std::to_string(outcome.applied) + " of " +
                        std::to_string(outcome.applied + int(outcome.problems.size())) + " records applied");
        }
        cmDeliverEvent(kCmEventLoadDone);
        if (then) then();
    });
}

}  // namespace mira
