// Replay of the saved configuration and the load event at start-up.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <utility>

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
    if (!checkSavedConfigSeal(text, path, &outcome.error)) {
        outcome.refused = true;
        return outcome;
    }
    std::vector<std::pair<int, std::string>> problems;  // by line
    auto skip = [&](const SavedRecord& record, const std::string& why) {
        std::string problem = path;
        problem.append(":").append(std::to_string(record.line)).append(": ").append(why);
        problems.emplace_back(record.line, std::move(problem));
    };
    std::vector<SavedRecord> records = parseSavedRecords(text, path, &problems);
    // Every record is built and filled before the first is applied; one
    // whose values the objects refuse is skipped.
    std::vector<CmPrepared> prepared(records.size());
    for (size_t i = 0; i < records.size(); i++) {
        std::string why;
        if (!cmPrepare("set", records[i].object, records[i].attrs, &prepared[i], &why)) skip(records[i], why);
    }
    for (size_t i = 0; i < records.size(); i++) {
        if (prepared[i].empty()) continue;
        CmResult r = cmExecute(prepared[i], CM_FLAG_IMPLIED_ROW_STATUS);
        if (r.rc == 1 && r.result != 0) {
            outcome.applied++;
        } else {
            std::string message = r.message;
            while (!message.empty() && message.back() == '\n') message.pop_back();
            skip(records[i], message.empty() ? "refused" : message);
        }
    }
    std::stable_sort(problems.begin(), problems.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [line, problem] : problems) outcome.problems.push_back(std::move(problem));
    return outcome;
}

bool readSavedConfig(const std::string& path, std::vector<SavedRecord>* records, std::vector<CmPrepared>* prepared,
                     ReplayOutcome* outcome) {
    std::string text;
    if (!readFile(path, &text, outcome)) return false;
    if (!checkSavedConfigSeal(text, path, &outcome->error)) {
        outcome->refused = true;
        return false;
    }
    std::vector<std::pair<int, std::string>> problems;
    *records = parseSavedRecords(text, path, &problems);
    prepared->clear();
    prepared->resize(records->size());
    for (size_t i = 0; i < records->size(); i++) {
        std::string why;
        const SavedRecord& record = (*records)[i];
        if (!cmPrepare("set", record.object, record.attrs, &(*prepared)[i], &why)) {
            std::string problem = path;
            problem.append(":").append(std::to_string(record.line)).append(": ").append(why);
            problems.emplace_back(record.line, std::move(problem));
        }
    }
    std::stable_sort(problems.begin(), problems.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [line, problem] : problems) outcome->problems.push_back(std::move(problem));
    return true;
}

bool applySavedRecord(const std::string& path, const SavedRecord& record, CmPrepared* prepared,
                      ReplayOutcome* outcome) {
    if (prepared->empty()) return false;
    CmResult r = cmExecute(*prepared, CM_FLAG_IMPLIED_ROW_STATUS);
    if (r.rc == 1 && r.result != 0) {
        outcome->applied++;
        return true;
    }
    std::string message = r.message;
    while (!message.empty() && message.back() == '\n') message.pop_back();
    outcome->problems.push_back(path + ":" + std::to_string(record.line) + ": " +
                                (message.empty() ? "refused" : message));
    return false;
}

namespace {

// A refused file is logged, said on standard error and set aside, so that
// the next save does not overwrite what the operator may want back.
void reportRefusedFile(const std::string& path, const ReplayOutcome& outcome) {
    std::string kept;
    std::string why;
    if (outcome.found) {
        if (setSavedConfigAside(path, &why))
            kept = "; kept as " + path + kSavedConfigAsideSuffix;
        else
            kept = "; not set aside: " + why;
    }
    std::fprintf(stderr, "coild: saved configuration refused, starting without it: %s%s\n", outcome.error.c_str(),
                 kept.c_str());
    logLine("ERROR", "cfgmgr", "saved configuration refused, starting without it: " + outcome.error + kept);
}

}  // namespace

void loadConfigWhenReady(const std::string& path, const std::function<void()>& then) {
    auto id = std::make_shared<uint64_t>(0);
    *id = addWorkItem(kReadyPollUsec, true, [path, id, then] {
        if (cmEventCallback() == nullptr || ownProcessState() < kStateVlanReady) return;
        removeWorkItem(*id);
        ReplayOutcome outcome = replaySavedConfig(path);
        if (outcome.refused) {
            reportRefusedFile(path, outcome);
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
