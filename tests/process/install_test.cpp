// What `cmake --install` puts in place, checked by the tools that use it:
// systemd-analyze verifies the unit, man reads the manual pages, a C program
// builds against the client library through pkg-config, and the installed
// coild runs on the installed example configuration.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/coild_process.h"

namespace {

namespace fs = std::filesystem;

class Installed : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = dirs_.base + "/root";
        ::setenv("DESTDIR", root_.c_str(), 1);
        const coiltest::Outcome r =
            coiltest::runProgram({COIL_CMAKE_COMMAND, "--install", COIL_BINARY_DIR}, dirs_.base, 120'000);
        ::unsetenv("DESTDIR");
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        prefix_ = root_ + COIL_INSTALL_PREFIX;
    }
    coiltest::CoildProcess dirs_;  // only for its directory
    std::string root_, prefix_;
};

TEST_F(Installed, EveryFileIsInItsUsualPlace) {
    for (const char* file : {"sbin/coild", "bin/coilctl", "bin/coil-client", "include/coil_client.h",
                             "share/man/man8/coild.8", "share/man/man8/coilctl.8", "share/man/man1/coil-client.1",
                             "lib/systemd/system/coild.service", "share/snmp/mibs/COIL-MIB.txt",
                             "share/doc/coil/examples/coil.conf", "share/doc/coil/examples/chassis.topo"})
        EXPECT_TRUE(fs::exists(prefix_ + "/" + file)) << file;
    EXPECT_TRUE(fs::exists(root_ + COIL_INSTALL_SYSCONFDIR + "/default/coild"));
}

TEST_F(Installed, SystemdAcceptsTheUnit) {
    const std::string analyze = coiltest::findProgram("systemd-analyze");
    if (analyze.empty()) GTEST_SKIP() << "systemd-analyze is not installed";
    // The unit as installed, its programs' paths moved under the install
    // root; checked against this machine's systemd units. The manual pages
    // are checked below.
    std::string unit = coiltest::readFile(prefix_ + "/lib/systemd/system/coild.service");
    for (const std::string& path : {std::string(COIL_INSTALL_PREFIX) + "/sbin/coild",
                                   std::string(COIL_INSTALL_SYSCONFDIR) + "/default/coild"}) {
        const size_t at = unit.find(path);
        ASSERT_NE(at, std::string::npos) << path << "\n" << unit;
        unit.replace(at, path.size(), root_ + path);
    }
    const std::string copy = dirs_.base + "/coild.service";
    std::ofstream(copy) << unit;
    const coiltest::Outcome r = coiltest::runProgram({analyze, "verify", "--man=no", copy}, dirs_.base);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err.find("coild.service"), std::string::npos) << r.err;
}

TEST_F(Installed, ManReadsEveryPageWithoutAWarning) {
    const std::string man = coiltest::findProgram("man");
    if (man.empty()) GTEST_SKIP() << "man is not installed";
    for (const char* page : {"man8/coild.8", "man8/coilctl.8", "man1/coil-client.1"}) {
        const coiltest::Outcome r =
            coiltest::runProgram({man, "--warnings", "-l", prefix_ + "/share/man/" + page}, dirs_.base);
        EXPECT_EQ(r.status, 0) << page << r.err;
        EXPECT_EQ(r.err, "") << page;
        EXPECT_NE(r.out.find("SYNOPSIS"), std::string::npos) << page;
    }
}

TEST_F(Installed, CProgramBuildsOnTheClientLibraryThroughPkgConfig) {
    const std::string pkgConfig = coiltest::findProgram("pkg-config");
    if (pkgConfig.empty()) GTEST_SKIP() << "pkg-config is not installed";
    const std::string source = dirs_.base + "/client.c", program = dirs_.base + "/client";
    std::ofstream(source) << "#include <coil_client.h>\n"
                             "int main(void) {\n"
                             "    char error[256];\n"
                             "    coilClient* c = coilClientConnect(\"/nonexistent\", error, sizeof error);\n"
                             "    return c == 0 && error[0] != 0 ? 0 : 1;\n"
                             "}\n";
    ::setenv("PKG_CONFIG_PATH", (prefix_ + "/lib/pkgconfig").c_str(), 1);
    ::setenv("PKG_CONFIG_SYSROOT_DIR", root_.c_str(), 1);
    const coiltest::Outcome flags = coiltest::runProgram({pkgConfig, "--cflags", "--libs", "coilclient"}, dirs_.base);
    ::unsetenv("PKG_CONFIG_PATH");
    ::unsetenv("PKG_CONFIG_SYSROOT_DIR");
    ASSERT_EQ(flags.status, 0) << flags.err;
    const coiltest::Outcome built = coiltest::runProgram(
        {"/bin/sh", "-c", std::string(COIL_C_COMPILER) + " -o " + program + " " + source + " " + flags.out},
        dirs_.base);
    ASSERT_EQ(built.status, 0) << flags.out << built.err;
    EXPECT_EQ(coiltest::runProgram({program}, dirs_.base).status, 0);
}

TEST_F(Installed, ExampleConfigurationIsAppliedWhole) {
    coiltest::CoildProcess coild;
    fs::create_directories(coild.base + "/state");
    fs::copy_file(prefix_ + "/share/doc/coil/examples/coil.conf", coild.base + "/state/coil.conf");
    ASSERT_TRUE(coild.start("", {"--state-dir", coild.base + "/state"})) << coild.errors();
    EXPECT_NE(coild.log().find("replayed: 2 of 2 records applied"), std::string::npos) << coild.log();
    EXPECT_NE(coild.ctl({"--json", "show", "services"}).out.find("\"blue\""), std::string::npos);
}

}  // namespace
