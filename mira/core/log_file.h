// The event log's file: appended to, flushed after every line, and rotated
// when it grows over its cap (FILE becomes FILE.1, replacing the older one,
// and a new FILE is started), so the log never takes more than twice the cap
// on disk.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace mira {

inline constexpr uint64_t kLogFileDefaultMaxBytes = uint64_t{16} << 20;

class RotatingLogFile {
  public:
    RotatingLogFile() = default;
    ~RotatingLogFile() { close(); }
    RotatingLogFile(const RotatingLogFile&) = delete;
    RotatingLogFile& operator=(const RotatingLogFile&) = delete;

    bool open(const std::string& path, uint64_t maxBytes);  // false with errno set
    void close();
    bool isOpen() const { return file_ != nullptr; }
    void write(std::string_view line);

  private:
    void rotate();

    std::string path_;
    FILE* file_ = nullptr;
    uint64_t size_ = 0;
    uint64_t maxBytes_ = kLogFileDefaultMaxBytes;
};

}  // namespace mira
