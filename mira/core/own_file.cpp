// Removal of a process's own files by identity.
#include "mira/core/own_file.h"

#include <sys/stat.h>
#include <unistd.h>

namespace mira {

OwnFile ownFileAt(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return {};
    return OwnFile{st.st_dev, st.st_ino};
}

void removeOwnFile(const std::string& path, const OwnFile& file) {
    const OwnFile now = ownFileAt(path);
    if (file.ino != 0 && now.dev == file.dev && now.ino == file.ino) ::unlink(path.c_str());
}

}  // namespace mira
