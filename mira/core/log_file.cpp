// The event log's file with its size cap.
#include "mira/core/log_file.h"

#include <sys/stat.h>

#include <cstdio>

namespace mira {

bool RotatingLogFile::open(const std::string& path, uint64_t maxBytes) {
    FILE* f = std::fopen(path.c_str(), "a");
    if (f == nullptr) return false;
    close();
    file_ = f;
    path_ = path;
    maxBytes_ = maxBytes;
    struct stat st {};
    size_ = ::fstat(::fileno(f), &st) == 0 ? uint64_t(st.st_size) : 0;
    return true;
}

void RotatingLogFile::close() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
}

void RotatingLogFile::write(std::string_view line) {
    if (file_ == nullptr) return;
    if (size_ > 0 && size_ + line.size() > maxBytes_) rotate();
    if (file_ == nullptr) return;
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
    size_ += line.size();
}

// When the file cannot be renamed or reopened, the log goes on in the old
// file (as much as the disk takes) rather than stopping.
void RotatingLogFile::rotate() {
    const std::string older = path_ + ".1";
    if (std::rename(path_.c_str(), older.c_str()) != 0) {
        size_ = 0;
        return;
    }
    FILE* fresh = std::fopen(path_.c_str(), "a");
    if (fresh == nullptr) {
        size_ = 0;
        return;
    }
    std::fclose(file_);
    file_ = fresh;
    size_ = 0;
}

}  // namespace mira
