// Files a process made in its run directory (sockets it bound, names it
// published), removed at its end only while they are still the ones it
// made: if the directory was emptied under it and another coild has put its
// own files there since, those stay.
#pragma once
#include <sys/types.h>

#include <string>

namespace mira {

struct OwnFile {
    dev_t dev = 0;
    ino_t ino = 0;
};

// The file at path now (not followed if a link); empty when there is none.
OwnFile ownFileAt(const std::string& path);
// Removes path if it is still that file.
void removeOwnFile(const std::string& path, const OwnFile& file);

}  // namespace mira
