// The saved configuration: what `coilctl save` stores in the run directory
// and coild replays at start-up.
//
// File format (text, one record per line; blank lines and lines starting
// with '#' are ignored):
//   <object> <attribute>=<value> <attribute>=<value> ...
// The object is coilGlobalCfg or coilServiceNode; values are escaped with
// escapeValue(value, true) (so they hold no blank, '=', '%' or control
// character). Only configuration is stored: counters and derived fields
// (txpkts, rxpkts, coilClients, numPorts, clientType, rowStatus) are left out,
// and so are services the replay would not restore (those of client daemons,
// which register their own, and counted polls).
// A file that coild writes starts with kSavedConfigHeader and ends with
// savedConfigEndLine(body), which carries the CRC-32 of every byte
// before it. A file that starts so is refused whole unless it ends so: that
// tells a file cut short or changed since it was written. Within a whole
// file, a record that cannot be read or that the daemon refuses is skipped
// and reported; the others are applied.
#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mira/core/cmmgr.h"

namespace mira {

inline constexpr const char* kSavedConfigName = "coil.conf";
inline constexpr const char* kSavedConfigHeader = "# coil saved configuration, written by coild (coilctl save).";
inline constexpr const char* kSavedConfigEndPrefix = "# end of saved configuration: ";
// Saved files larger than this are refused unread, and a save that would
// write more is refused.
inline constexpr size_t kSavedConfigMaxBytes = size_t{4} * 1024 * 1024;
// Where a refused file is kept aside, so that the next save does not
// overwrite it.
inline constexpr const char* kSavedConfigAsideSuffix = ".bad";

struct SavedRecord {
    int line = 0;  // where it stood in the file (0 for records not read from one)
    std::string object;
    std::vector<CmAttr> attrs;
};

std::string savedConfigPath(const std::string& runDir);

// Walks coilGlobalCfg and coilServiceNode through the configuration manager
// and returns the configuration part of every record the replay restores.
bool collectSavedConfig(std::vector<SavedRecord>* out, std::string* error);
std::string formatSavedConfig(const std::vector<SavedRecord>& records);
// "# end of saved configuration: N records, crc32 XXXXXXXX" and a newline,
// for the text before it (body): N its record lines, then the CRC-32 of all
// of it.
std::string savedConfigEndLine(std::string_view body);
// A file that starts with the header or ends with an end line must have
// both, with the right count and checksum; false with "<fileName>: <what is
// wrong>" in *error otherwise. A file with neither (written by hand) has
// nothing to check.
bool checkSavedConfigSeal(std::string_view text, const std::string& fileName, std::string* error);
// Parses the records; a line that is no record is skipped and described in
// *problems with its line number, as "<fileName>:<line>: <what is wrong>".
std::vector<SavedRecord> parseSavedRecords(std::string_view text, const std::string& fileName,
                                           std::vector<std::pair<int, std::string>>* problems);
// Both: false with the first thing wrong in *error.
bool parseSavedConfig(std::string_view text, const std::string& fileName, std::vector<SavedRecord>* out,
                      std::string* error);

// Writes a temporary file beside path, flushes it to disk and renames it
// over path, so a reader sees the old file or the new one, never a part.
bool writeFileAtomically(const std::string& path, std::string_view content, std::string* error);

// Collects and writes the configuration; *records gets the number of records.
// Refuses, writing nothing, what the replay would refuse: a file over
// kSavedConfigMaxBytes or a record the objects do not accept.
bool saveConfig(const std::string& path, int* records, std::string* error);

// Renames a refused file to path + kSavedConfigAsideSuffix (replacing an
// older one); false with the reason in *error.
bool setSavedConfigAside(const std::string& path, std::string* error);
// Removes the temporary files of saves that were killed midway
// (coil.conf.tmp.PID) from the run directory; returns their names.
std::vector<std::string> removeLeftoverSaves(const std::string& runDir);

struct ReplayOutcome {
    bool found = false;    // the file exists
    bool refused = false;  // damaged (too large, cut, changed): nothing of it was applied; error says where
    std::string error;
    int applied = 0;                    // records the daemon accepted
    std::vector<std::string> problems;  // "<file>:<line>: <message>" of records skipped, in line order
};

// Reads the file and checks its end line, then parses and prepares every
// record (each attribute converted by the objects themselves); a record that
// does not parse or convert is left unprepared and described in problems.
// False when the file is missing (found stays false) or refused (error says
// why).
bool readSavedConfig(const std::string& path, std::vector<SavedRecord>* records, std::vector<CmPrepared>* prepared,
                     ReplayOutcome* outcome);
// Sets one prepared record with the implied row status flag: counted in
// applied, or its refusal added to problems.
bool applySavedRecord(const std::string& path, const SavedRecord& record, CmPrepared* prepared,
                      ReplayOutcome* outcome);

// Reads the file and checks its end line before applying anything; then
// sets every record that parses and converts (every attribute converted by
// the objects themselves) with the implied row status flag, as a replay of
// stored configuration.
ReplayOutcome replaySavedConfig(const std::string& path);

// coild's start-up: once the backend client is up and the daemon has its
// VLAN library (process state 8), replays the saved file (if any) and then
// delivers the configuration manager's load event (2), through the loop.
// Outcomes are written to the event log and, when the file is refused, to
// standard error, and the refused file is set aside. then, when given, runs
// after the load event.
void loadConfigWhenReady(const std::string& path, const std::function<void()>& then = {});

}  // namespace mira
