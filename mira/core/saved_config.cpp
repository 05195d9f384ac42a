// Saved configuration: collecting it by walks, its text form, and the
// atomic write.
#include "mira/core/saved_config.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "mira/control/control_text.h"
#include "mira/control/control_xml.h"

namespace mira {

namespace {

constexpr const char* kSavedObjects[] = {"coilGlobalCfg", "coilServiceNode"};
// Read-only or derived fields that a get returns and a set ignores.
constexpr std::string_view kNotSaved[] = {"txpkts", "rxpkts", "coilClients", "numPorts", "clientType", "rowStatus"};

bool savedObject(std::string_view name) {
    return std::find(std::begin(kSavedObjects), std::end(kSavedObjects), name) != std::end(kSavedObjects);
}

bool saved(std::string_view attr, std::string_view value) {
    // A service made without an interval reports 0, which a set refuses: it
    // is saved as not given, as it was made.
    if (attr == "interval" && value == "0") return false;
    return std::find(std::begin(kNotSaved), std::end(kNotSaved), attr) == std::end(kNotSaved);
}

std::string_view attrValue(const SavedRecord& record, std::string_view name) {
    for (const CmAttr& a : record.attrs)
        if (a.name == name) return a.value;
    return {};
}

// The replay restores the global settings and the operator's continuous
// services (clients "1" and "2"); a client daemon registers its own again,
// and a counted poll is not run twice.
bool restoredOnReplay(const SavedRecord& record) {
    if (record.object != "coilServiceNode") return true;
    const std::string_view client = attrValue(record, "clientIdentifier");
    return (client == "1" || client == "2") && attrValue(record, "pollType") != "1";
}

// Lines that hold a record: not blank, not a comment.
bool recordLine(std::string_view row) {
    const size_t first = row.find_first_not_of(" \t\r");
    return first != std::string_view::npos && row[first] != '#';
}

size_t countRecordLines(std::string_view text) {
    size_t count = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        if (recordLine(text.substr(0, end))) count++;
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return count;
}

uint32_t crc32Of(std::string_view text) {
    uLong crc = ::crc32(0L, Z_NULL, 0);
    while (!text.empty()) {
        const auto chunk = uInt(std::min<size_t>(text.size(), 1u << 30));
        crc = ::crc32(crc, reinterpret_cast<const Bytef*>(text.data()), chunk);
        text.remove_prefix(chunk);
    }
    return uint32_t(crc);
}

std::string errnoText(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(size_t(n));
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string savedConfigPath(const std::string& runDir) { return runDir + "/" + kSavedConfigName; }

bool collectSavedConfig(std::vector<SavedRecord>* out, std::string* error) {
    std::vector<SavedRecord> records;
    for (const char* object : kSavedObjects) {
        std::vector<std::string> steps;
        CmResult walk = cmWalk(object, {}, 0, &steps);
        if (walk.rc == -1 || (walk.result == 0 && walk.records == 0)) {
            *error = "walk of " + std::string(object) + " failed: " + walk.message;
            return false;
        }
        for (const std::string& xml : steps) {
            std::vector<control::XmlRecord> parsed;
            if (!control::parseXmlRecords(xml, &parsed, error)) {
                *error = "reply of " + std::string(object) + " unreadable: " + *error;
                return false;
            }
            for (const control::XmlRecord& r : parsed) {
                SavedRecord record;
                record.object = r.object;
                for (const auto& [name, value] : r.attrs)
                    if (saved(name, value)) record.attrs.push_back({name, value});
                if (restoredOnReplay(record)) records.push_back(std::move(record));
            }
        }
    }
    *out = std::move(records);
    return true;
}

std::string formatSavedConfig(const std::vector<SavedRecord>& records) {
    std::string out = std::string(kSavedConfigHeader) + "\n" +
                      "# One record per line: object, then attribute=value (values %-escaped).\n";
    for (const SavedRecord& r : records) {
        out += r.object;
        for (const CmAttr& a : r.attrs) out += " " + a.name + "=" + control::escapeValue(a.value, true);
        out += "\n";
    }
    return out + savedConfigEndLine(out);
}

std::string savedConfigEndLine(std::string_view body) {
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", unsigned(crc32Of(body)));
    return kSavedConfigEndPrefix + std::to_string(countRecordLines(body)) + " records, crc32 " + crc + "\n";
}

bool checkSavedConfigSeal(std::string_view text, const std::string& fileName, std::string* error) {
    // The end line is the last line, and the file ends with its newline.
    const size_t lastStart = text.size() < 2 ? 0 : text.rfind('\n', text.size() - 2) + 1;
    const std::string_view body = text.substr(0, lastStart);
    const std::string_view last = text.substr(lastStart);
    const bool header = text.starts_with(std::string(kSavedConfigHeader) + "\n");
    const bool endLine = text.ends_with('\n') && last.starts_with(kSavedConfigEndPrefix);
    // Either one marks a file coild wrote (a damaged header must not make
    // it pass for a file written by hand).
    if (!header && !endLine) return true;
    if (!endLine) {
        *error = fileName + ": the file does not end with its \"" + std::string(kSavedConfigEndPrefix).substr(2) +
                 "...\" line (cut short?)";
        return false;
    }
    const std::string expected = savedConfigEndLine(body);
    if (!header || last != expected) {
        *error = fileName + ": the end line says \"" + std::string(last.substr(0, last.size() - 1)) +
                 "\" but the file holds \"" + expected.substr(0, expected.size() - 1) + "\" (changed or damaged)";
        return false;
    }
    return true;
}

std::vector<SavedRecord> parseSavedRecords(std::string_view text, const std::string& fileName,
                                           std::vector<std::pair<int, std::string>>* problems) {
    std::vector<SavedRecord> records;
    int line = 0;
    auto skip = [&](const std::string& what) {
        problems->emplace_back(line, fileName + ":" + std::to_string(line) + ": " + what);
    };
    while (!text.empty()) {
        line++;
        size_t end = text.find('\n');
        std::string_view row = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!recordLine(row)) continue;
        if (row.find('\0') != std::string_view::npos) {
            skip("NUL byte in the line");
            continue;
        }
        if (row.back() == '\r') row.remove_suffix(1);
        // Words separated by blanks.
        std::vector<std::string_view> words;
        for (size_t i = 0; i < row.size();) {
            while (i < row.size() && (row[i] == ' ' || row[i] == '\t')) i++;
            size_t start = i;
            while (i < row.size() && row[i] != ' ' && row[i] != '\t') i++;
            if (i > start) words.push_back(row.substr(start, i - start));
        }
        if (!savedObject(words[0])) {
            skip("unknown object \"" + std::string(words[0]) + "\"");
            continue;
        }
        SavedRecord record;
        record.line = line;
        record.object = std::string(words[0]);
        std::string wrong;
        for (size_t w = 1; w < words.size() && wrong.empty(); w++) {
            size_t eq = words[w].find('=');
            if (eq == std::string_view::npos || eq == 0) {
                wrong = "\"" + std::string(words[w]) + "\" is not attribute=value";
                break;
            }
            CmAttr attr{std::string(words[w].substr(0, eq)), ""};
            if (!control::unescapeValue(words[w].substr(eq + 1), &attr.value))
                wrong = "malformed %-escape in the value of " + attr.name;
            record.attrs.push_back(std::move(attr));
        }
        if (!wrong.empty()) {
            skip(wrong);
            continue;
        }
        records.push_back(std::move(record));
    }
    return records;
}

bool parseSavedConfig(std::string_view text, const std::string& fileName, std::vector<SavedRecord>* out,
                      std::string* error) {
    if (!checkSavedConfigSeal(text, fileName, error)) return false;
    std::vector<std::pair<int, std::string>> problems;
    std::vector<SavedRecord> records = parseSavedRecords(text, fileName, &problems);
    if (!problems.empty()) {
        *error = problems.front().second;
        return false;
    }
    *out = std::move(records);
    return true;
}

bool writeFileAtomically(const std::string& path, std::string_view content, std::string* error) {
    const std::string tmp = path + ".tmp." + std::to_string(::getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = errnoText("cannot create", tmp);
        return false;
    }
    if (!writeAll(fd, content) || ::fsync(fd) != 0) {
        *error = errnoText("cannot write", tmp);
        ::close(fd);
        ::unlink(tmp.c_str());
        return false;
    }
    if (::close(fd) != 0) {
        *error = errnoText("cannot write", tmp);
        ::unlink(tmp.c_str());
        return false;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        *error = errnoText("cannot rename " + tmp + " to", path);
        ::unlink(tmp.c_str());
        return false;
    }
    // The rename itself is on disk only once the directory is.
    const std::string dir = directoryOf(path);
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool saveConfig(const std::string& path, int* count, std::string* error) {
    std::vector<SavedRecord> records;
    if (!collectSavedConfig(&records, error)) return false;
    // The replay's own checks, so that what is saved is what comes back.
    for (size_t i = 0; i < records.size(); i++) {
        CmPrepared prepared;
        std::string why;
        if (!cmPrepare("set", records[i].object, records[i].attrs, &prepared, &why)) {
            *error = "record " + std::to_string(i + 1) + " (" + records[i].object + " " +
                     std::string(attrValue(records[i], "clientIdentifier")) + " " +
                     std::string(attrValue(records[i], "vlan")) + ") would be refused at start-up: " + why;
            return false;
        }
    }
    const std::string text = formatSavedConfig(records);
    if (text.size() > kSavedConfigMaxBytes) {
        *error = "the configuration takes " + std::to_string(text.size()) + " bytes, more than the " +
                 std::to_string(kSavedConfigMaxBytes) + " that coild reads at start-up; nothing was written";
        return false;
    }
    if (!writeFileAtomically(path, text, error)) return false;
    if (count) *count = int(records.size());
    return true;
}

bool setSavedConfigAside(const std::string& path, std::string* error) {
    const std::string aside = path + kSavedConfigAsideSuffix;
    if (::rename(path.c_str(), aside.c_str()) != 0) {
        *error = errnoText("cannot rename " + path + " to", aside);
        return false;
    }
    return true;
}

std::vector<std::string> removeLeftoverSaves(const std::string& runDir) {
    std::vector<std::string> removed;
    const std::string prefix = std::string(kSavedConfigName) + ".tmp.";
    DIR* dir = ::opendir(runDir.c_str());
    if (dir == nullptr) return removed;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (!name.starts_with(prefix) || name.size() == prefix.size() ||
            name.find_first_not_of("0123456789", prefix.size()) != std::string_view::npos)
            continue;
        if (::unlinkat(::dirfd(dir), entry->d_name, 0) == 0) removed.emplace_back(name);
    }
    ::closedir(dir);
    return removed;
}

}  // namespace mira
