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

// Tools missing on this machine are skipped (CI installs them all).
TEST(Installed, EveryFileIsInItsPlaceAndTheToolsThatUseThemAcceptThem) {
    coiltest::CoildProcess dirs;  // only for its directory
    const std::string root = dirs.base + "/root", prefix = root + COIL_INSTALL_PREFIX;
    ::setenv("DESTDIR", root.c_str(), 1);
    const coiltest::Outcome installed =
        coiltest::runProgram({COIL_CMAKE_COMMAND, "--install", COIL_BINARY_DIR}, dirs.base, 120'000);
    ::unsetenv("DESTDIR");
    ASSERT_EQ(installed.status, 0) << installed.out << installed.err;
    for (const char* file : {"sbin/coild", "bin/coilctl", "bin/coil-client", "include/coil_client.h",
                             "share/man/man8/coild.8", "share/man/man8/coilctl.8", "share/man/man1/coil-client.1",
                             "lib/systemd/system/coild.service", "share/snmp/mibs/COIL-MIB.txt",
                             "share/doc/coil/examples/coil.conf", "share/doc/coil/examples/chassis.topo"})
        EXPECT_TRUE(fs::exists(prefix + "/" + file)) << file;
    EXPECT_TRUE(fs::exists(root + COIL_INSTALL_SYSCONFDIR + "/default/coild"));

    // systemd-analyze checks the unit, its programs' paths moved under the
    // install root, against this machine's units (the manual pages below).
    if (const std::string analyze = coiltest::findProgram("systemd-analyze"); !analyze.empty()) {
        std::string unit = coiltest::readFile(prefix + "/lib/systemd/system/coild.service");
        for (const std::string& path : {std::string(COIL_INSTALL_PREFIX) + "/sbin/coild",
                                        std::string(COIL_INSTALL_SYSCONFDIR) + "/default/coild"}) {
            const size_t at = unit.find(path);
            ASSERT_NE(at, std::string::npos) << path << "\n" << unit;
            unit.replace(at, path.size(), root + path);
        }
        std::ofstream(dirs.base + "/coild.service") << unit;
        const coiltest::Outcome r = coiltest::runProgram({analyze, "verify", "--man=no", dirs.base + "/coild.service"}, dirs.base);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(r.err.find("coild.service"), std::string::npos) << r.err;
    }
    if (const std::string man = coiltest::findProgram("man"); !man.empty()) {
        for (const char* page : {"man8/coild.8", "man8/coilctl.8", "man1/coil-client.1"}) {
            const coiltest::Outcome r = coiltest::runProgram({man, "--warnings", "-l", prefix + "/share/man/" + page}, dirs.base);
            EXPECT_EQ(r.status, 0) << page << r.err;
            EXPECT_EQ(r.err, "") << page;
            EXPECT_NE(r.out.find("SYNOPSIS"), std::string::npos) << page;
        }
    }
    // A C program builds on the client library through pkg-config.
    if (const std::string pkgConfig = coiltest::findProgram("pkg-config"); !pkgConfig.empty()) {
        std::ofstream(dirs.base + "/client.c") << "#include <coil_client.h>\n"
                                                  "int main(void) {\n"
                                                  "    char error[256];\n"
                                                  "    coilClient* c = coilClientConnect(\"/nonexistent\", error, sizeof error);\n"
                                                  "    return c == 0 && error[0] != 0 ? 0 : 1;\n"
                                                  "}\n";
        ::setenv("PKG_CONFIG_PATH", (prefix + "/lib/pkgconfig").c_str(), 1);
        ::setenv("PKG_CONFIG_SYSROOT_DIR", root.c_str(), 1);
        const coiltest::Outcome flags = coiltest::runProgram({pkgConfig, "--cflags", "--libs", "coilclient"}, dirs.base);
        ::unsetenv("PKG_CONFIG_PATH");
        ::unsetenv("PKG_CONFIG_SYSROOT_DIR");
        ASSERT_EQ(flags.status, 0) << flags.err;
        const std::string build = std::string(COIL_C_COMPILER) + " -o " + dirs.base + "/client " + dirs.base + "/client.c " + flags.out;
        const coiltest::Outcome built = coiltest::runProgram({"/bin/sh", "-c", build}, dirs.base);
        ASSERT_EQ(built.status, 0) << flags.out << built.err;
        EXPECT_EQ(coiltest::runProgram({dirs.base + "/client"}, dirs.base).status, 0);
    }
    // coild applies the installed example configuration whole.
    coiltest::CoildProcess coild;
    fs::create_directories(coild.base + "/state");
    fs::copy_file(prefix + "/share/doc/coil/examples/coil.conf", coild.base + "/state/coil.conf");
    ASSERT_TRUE(coild.start("", {"--state-dir", coild.base + "/state"})) << coild.errors();
    EXPECT_NE(coild.log().find("replayed: 2 of 2 records applied"), std::string::npos) << coild.log();
    EXPECT_NE(coild.ctl({"--json", "show", "services"}).out.find("\"blue\""), std::string::npos);
}

}  // namespace
