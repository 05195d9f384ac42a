// Reload of the saved configuration into a running daemon.
#include "mira/core/saved_config_reload.h"

#include <algorithm>
#include <map>

#include "mira/core/platform.h"
#include "mira/core/saved_config.h"

namespace mira {

namespace {

const std::string* attr(const SavedRecord& r, const std::string& name) {
    for (const CmAttr& a : r.attrs)
        if (a.name == name) return &a.value;
    return nullptr;
}

bool isService(const SavedRecord& r) { return r.object == "coilServiceNode"; }

bool isOperatorService(const SavedRecord& r) {
    const std::string* client = attr(r, "clientIdentifier");
    return isService(r) && client && (*client == "1" || *client == "2");
}

// A counted run is not restored from saved configuration, so it neither
// replaces nor removes anything.
bool isCountedRun(const SavedRecord& r) {
    const std::string* retry = attr(r, "retry");
    const std::string* pollType = attr(r, "pollType");
    return (retry && *retry != "0") || (pollType && *pollType == "1");
}

// Services are keyed by client and VLAN name: the daemon finds the VLAN by
// its name, whatever instance number a hand-written record gives.
std::string key(const SavedRecord& r) {
    const std::string* client = attr(r, "clientIdentifier");
    const std::string* vlan = attr(r, "vlan");
    return (client ? *client : "") + " " + (vlan ? *vlan : "");
}

// Every value the saved record gives is the running one.
bool sameValues(const SavedRecord& saved, const SavedRecord& running) {
    return std::all_of(saved.attrs.begin(), saved.attrs.end(), [&](const CmAttr& a) {
        const std::string* now = attr(running, a.name);
        return a.name == "rowStatus" || a.name == "vlanIfInstance" || (now && *now == a.value);
    });
}

bool removeService(const SavedRecord& running, ReloadOutcome* outcome) {
    const std::string* instance = attr(running, "vlanIfInstance");
    const std::string* vlan = attr(running, "vlan");
    CmResult r = cmRun("set", "coilServiceNode",
                       {{"clientIdentifier", *attr(running, "clientIdentifier")},
                        {"vlanIfInstance", instance ? *instance : "0"},
                        {"vlan", vlan ? *vlan : ""},
                        {"rowStatus", "destroy"}});
    if (r.rc == 1 && r.result != 0) return true;
    outcome->problems.push_back("cannot remove service " + key(running) + ": " + r.message);
    return false;
}

}  // namespace

ReloadOutcome reloadSavedConfig(const std::string& path) {
    ReloadOutcome outcome;
    ReplayOutcome read;
    std::vector<SavedRecord> saved;
    std::vector<CmPrepared> prepared;
    const bool ok = readSavedConfig(path, &saved, &prepared, &read);
    outcome.found = read.found;
    if (!ok) {
        outcome.refused = read.refused;
        outcome.error = read.error;
        return outcome;
    }
    std::vector<SavedRecord> running;
    if (!collectSavedConfig(&running, &outcome.error)) {
        outcome.refused = true;
        return outcome;
    }
    std::map<std::string, const SavedRecord*> runningServices;
    const SavedRecord* runningGlobal = nullptr;
    for (const SavedRecord& r : running) {
        if (isOperatorService(r)) runningServices[key(r)] = &r;
        if (r.object == "coilGlobalCfg") runningGlobal = &r;
    }
    std::map<std::string, bool> savedKeys;
    for (const SavedRecord& r : saved)
        if (isOperatorService(r)) savedKeys[key(r)] = true;

    for (const auto& [k, r] : runningServices)
        if (!savedKeys.count(k) && !isCountedRun(*r) && removeService(*r, &outcome)) outcome.removed++;

    ReplayOutcome applied;
    size_t globalIndex = saved.size();
    for (size_t i = 0; i < saved.size(); i++) {
        const SavedRecord& r = saved[i];
        if (r.object == "coilGlobalCfg") {
            globalIndex = i;
            continue;
        }
        // A record whose values the objects refused changes nothing.
        if (!isOperatorService(r) || isCountedRun(r) || prepared[i].empty()) continue;
        auto now = runningServices.find(key(r));
        if (now != runningServices.end()) {
            if (sameValues(r, *now->second)) {
                outcome.kept++;
                continue;
            }
            if (!removeService(*now->second, &outcome)) continue;
            if (applySavedRecord(path, r, &prepared[i], &applied)) outcome.replaced++;
        } else if (applySavedRecord(path, r, &prepared[i], &applied)) {
            outcome.added++;
        }
    }
    // The enable switch last: turning it on starts the services configured
    // above, turning it off stops them.
    if (globalIndex < saved.size() && !prepared[globalIndex].empty() &&
        !(runningGlobal && sameValues(saved[globalIndex], *runningGlobal))) {
        outcome.globalChanged = applySavedRecord(path, saved[globalIndex], &prepared[globalIndex], &applied);
    }
    outcome.problems.insert(outcome.problems.begin(), read.problems.begin(), read.problems.end());
    outcome.problems.insert(outcome.problems.end(), applied.problems.begin(), applied.problems.end());
    return outcome;
}

void reloadSavedConfigLogged(const std::string& path) {
    notifyServiceManager("RELOADING=1");
    ReloadOutcome outcome = reloadSavedConfig(path);
    if (!outcome.found) {
        logLine("WARNING", "cfgmgr", "reload: no saved configuration " + path + ", nothing changed");
    } else if (outcome.refused) {
        logLine("ERROR", "cfgmgr", "reload: saved configuration refused, nothing changed: " + outcome.error);
    } else {
        for (const std::string& problem : outcome.problems) logLine("WARNING", "cfgmgr", problem);
        logLine("INFO", "cfgmgr",
                "saved configuration " + path + " reloaded: " + std::to_string(outcome.kept) + " services kept, " +
                    std::to_string(outcome.replaced) + " replaced, " + std::to_string(outcome.added) + " added, " +
                    std::to_string(outcome.removed) + " removed" +
                    (outcome.globalChanged ? ", global settings changed" : ""));
    }
    notifyServiceManager("READY=1");
}

}  // namespace mira
