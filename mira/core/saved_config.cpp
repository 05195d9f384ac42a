// Saved configuration: collecting it by walks, its text form, and the
// atomic write.
#include "mira/core/saved_config.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

bool saved(std::string_view attr) { return std::find(std::begin(kNotSaved), std::end(kNotSaved), attr) == std::end(kNotSaved); }

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
                    if (saved(name)) record.attrs.push_back({name, value});
                records.push_back(std::move(record));
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
    return out + savedConfigEndLine(records.size());
}

std::string savedConfigEndLine(size_t records) {
    return kSavedConfigEndPrefix + std::to_string(records) + " records\n";
}

bool parseSavedConfig(std::string_view text, const std::string& fileName, std::vector<SavedRecord>* out,
                      std::string* error) {
    std::vector<SavedRecord> records;
    const bool written = text.starts_with(std::string(kSavedConfigHeader) + "\n");
    const std::string_view ended = text;
    int line = 0;
    auto fail = [&](const std::string& what) {
        *error = fileName + ":" + std::to_string(line) + ": " + what;
        return false;
    };
    while (!text.empty()) {
        line++;
        size_t end = text.find('\n');
        std::string_view row = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (row.find('\0') != std::string_view::npos) return fail("NUL byte in the line");
        if (!row.empty() && row.back() == '\r') row.remove_suffix(1);
        // Words separated by blanks.
        std::vector<std::string_view> words;
        for (size_t i = 0; i < row.size();) {
            while (i < row.size() && (row[i] == ' ' || row[i] == '\t')) i++;
            size_t start = i;
            while (i < row.size() && row[i] != ' ' && row[i] != '\t') i++;
            if (i > start) words.push_back(row.substr(start, i - start));
        }
        if (words.empty() || words[0][0] == '#') continue;
        if (!savedObject(words[0])) return fail("unknown object \"" + std::string(words[0]) + "\"");
        SavedRecord record;
        record.line = line;
        record.object = std::string(words[0]);
        for (size_t w = 1; w < words.size(); w++) {
            size_t eq = words[w].find('=');
            if (eq == std::string_view::npos || eq == 0)
                return fail("\"" + std::string(words[w]) + "\" is not attribute=value");
            CmAttr attr{std::string(words[w].substr(0, eq)), ""};
            if (!control::unescapeValue(words[w].substr(eq + 1), &attr.value))
                return fail("malformed %-escape in the value of " + attr.name);
            record.attrs.push_back(std::move(attr));
        }
        records.push_back(std::move(record));
    }
    // A file coild wrote is whole only with its end line, last, counting its
    // records: a file cut short at any byte is refused, not half applied.
    if (written && !ended.ends_with(savedConfigEndLine(records.size())))
        return fail("the file does not end with \"" +
                    savedConfigEndLine(records.size()).substr(0, savedConfigEndLine(records.size()).size() - 1) +
                    "\" (cut short?)");
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
    if (!writeFileAtomically(path, formatSavedConfig(records), error)) return false;
    if (count) *count = int(records.size());
    return true;
}

}  // namespace mira
