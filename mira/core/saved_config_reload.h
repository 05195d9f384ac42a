// coild's reload (SIGHUP): the operator's running configuration becomes the
// saved one, without disturbing what did not change.
#pragma once
#include <string>
#include <vector>

namespace mira {

struct ReloadOutcome {
    bool found = false;    // the file exists
    bool refused = false;  // damaged: nothing changed; error says where
    std::string error;
    int kept = 0;      // operator services saved as they run: left running
    int replaced = 0;  // saved differently: removed and configured as saved
    int added = 0;     // saved but not running: configured
    int removed = 0;   // running but not saved: removed
    bool globalChanged = false;
    std::vector<std::string> problems;  // records the daemon refused
};

// Reads and checks the whole file first. A missing or damaged file changes
// nothing. Otherwise: operator services (client identifier 1 or 2) that the
// file does not name are removed; a saved service that runs with the saved
// values is kept as it is (its run, counters and disabled ports go on); one
// that runs with other values is removed and configured anew; one that does
// not run is configured; the global settings are set when they differ.
// Services of client daemons and counted runs are not touched.
ReloadOutcome reloadSavedConfig(const std::string& path);

// Runs reloadSavedConfig and writes its outcome to the event log, telling
// the service manager that a reload is under way and when it is done.
void reloadSavedConfigLogged(const std::string& path);

}  // namespace mira
