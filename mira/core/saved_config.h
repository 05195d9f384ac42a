// The saved configuration: what `coilctl save` stores in the run directory
// and coild replays at start-up.
//
// File format (text, one record per line; blank lines and lines starting
// with '#' are ignored):
//   <object> <attribute>=<value> <attribute>=<value> ...
// The object is coilGlobalCfg or coilServiceNode; values are escaped with
// escapeValue(value, true) (so they hold no blank, '=', '%' or control
// character). Only configuration is stored: counters and derived fields
// (txpkts, rxpkts, coilClients, numPorts, clientType, rowStatus) are left out.
// A file that coild writes starts with kSavedConfigHeader and ends with
// savedConfigEndLine(records); a file that starts so is refused unless it
// ends so, which tells a file cut short from a shorter one.
#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "mira/core/cmmgr.h"

namespace mira {

inline constexpr const char* kSavedConfigName = "coil.conf";
inline constexpr const char* kSavedConfigHeader = "# coil saved configuration, written by coild (coilctl save).";
inline constexpr const char* kSavedConfigEndPrefix = "# end of saved configuration: ";
// Saved files larger than this are refused unread.
inline constexpr size_t kSavedConfigMaxBytes = size_t{4} * 1024 * 1024;

struct SavedRecord {
    int line = 0;  // where it stood in the file (0 for records not read from one)
    std::string object;
    std::vector<CmAttr> attrs;
};

std::string savedConfigPath(const std::string& runDir);

// Walks coilGlobalCfg and coilServiceNode through the configuration manager
// and returns the configuration part of every record.
bool collectSavedConfig(std::vector<SavedRecord>* out, std::string* error);
std::string formatSavedConfig(const std::vector<SavedRecord>& records);
// "# end of saved configuration: N records" and a newline.
std::string savedConfigEndLine(size_t records);
// Parses the text; on the first malformed line returns false with
// "<fileName>:<line>: <what is wrong>" in *error.
bool parseSavedConfig(std::string_view text, const std::string& fileName, std::vector<SavedRecord>* out,
                      std::string* error);

// Writes a temporary file beside path, flushes it to disk and renames it
// over path, so a reader sees the old file or the new one, never a part.
bool writeFileAtomically(const std::string& path, std::string_view content, std::string* error);

// Collects and writes the configuration; *records gets the number of records.
bool saveConfig(const std::string& path, int* records, std::string* error);

struct ReplayOutcome {
    bool found = false;    // the file exists
    bool refused = false;  // damaged: nothing of it was applied; error says where
    std::string error;
    int applied = 0;                    // records the daemon accepted
    std::vector<std::string> problems;  // "<file>:<line>: <message>" of records it refused
};

// Reads, parses and checks the whole file (every attribute converted by the
// objects themselves) before applying anything; then sets every record with
// the implied row status flag, as a replay of stored configuration.
ReplayOutcome replaySavedConfig(const std::string& path);

// coild's start-up: once the backend client is up and the daemon has its
// VLAN library (process state 8), replays the saved file (if any) and then
// delivers the configuration manager's load event (2), through the loop.
// Outcomes are written to the event log and, when the file is refused, to
// standard error. then, when given, runs after the load event.
void loadConfigWhenReady(const std::string& path, const std::function<void()>& then = {});

}  // namespace mira
