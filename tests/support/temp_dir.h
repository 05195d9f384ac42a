// A fresh directory under /tmp for one test, removed with its contents.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace coiltest {

struct TempDir {
    std::string path;
    explicit TempDir(const std::string& prefix) : path("/tmp/" + prefix + "-XXXXXX") {
        if (::mkdtemp(path.data()) == nullptr) ADD_FAILURE() << "mkdtemp " << path;
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

}  // namespace coiltest
