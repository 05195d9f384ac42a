// coild and coilctl as separate processes: configuration through the
// control socket survives a restart by way of `coilctl save`, a loop cabled
// with `coilctl lab` is found and shown, and coilctl's exit statuses.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/coild_process.h"

namespace {

using coiltest::Outcome;

class Coild : public ::testing::Test {
protected:
    void start() { ASSERT_TRUE(coild.start()) << coild.errors(); }
    int stop() { return coild.terminate(5000); }
    Outcome ctl(std::vector<std::string> args) { return coild.ctl(std::move(args)); }
    // Repeats a command until its output contains the text (real time).
    bool eventually(const std::vector<std::string>& args, const std::string& text, int seconds) {
        return coiltest::within(seconds, [&] { return ctl(args).out.find(text) != std::string::npos; });
    }
    coiltest::CoildProcess coild;
    const std::string& runDir = coild.runDir;
};

TEST_F(Coild, ConfigurationSurvivesARestartThroughSave) {
    start();
    struct stat st {};
    ASSERT_EQ(::stat(runDir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat((runDir + "/coild.sock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    EXPECT_EQ(ctl({"enable"}).out, "loop detection enabled\n");
    EXPECT_EQ(ctl({"configure", "blue", "interval", "2", "disable-port", "30"}).status, 0);
    EXPECT_EQ(ctl({"configure", "red", "count", "3", "interval", "60"}).status, 0);
    Outcome bad = ctl({"configure", "nosuch"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "Invalid Vlan nosuch specified!\nthe VLANs are: blue, green, red\n")
        << "the daemon's message, verbatim, then the names that exist";
    Outcome dup = ctl({"configure", "blue"});
    EXPECT_EQ(dup.status, 1);
    EXPECT_EQ(dup.err, "ERROR: An active session already exists for \"CLI:blue\" !\n");

    Outcome saved = ctl({"save"});
    EXPECT_EQ(saved.status, 0) << saved.err;
    EXPECT_EQ(saved.out, "configuration saved to " + runDir + "/coil.conf (2 records)\n") << "not the counted run";

    EXPECT_EQ(stop(), 0);
    EXPECT_NE(::access((runDir + "/coild.sock").c_str(), F_OK), 0) << "the socket goes with the daemon";
    EXPECT_EQ(ctl({"show"}).status, 3);

    start();
    Outcome show = ctl({"show"});
    EXPECT_NE(show.out.find("loop detection         enabled"), std::string::npos) << show.out;
    Outcome services = ctl({"--json", "show", "services"});
    EXPECT_EQ(services.status, 0);
    EXPECT_NE(services.out.find("\"vlan\":\"blue\""), std::string::npos) << services.out;
    EXPECT_NE(services.out.find("\"interval\":2"), std::string::npos) << services.out;
    EXPECT_NE(services.out.find("\"disablePortDuration\":30"), std::string::npos) << services.out;
    EXPECT_EQ(services.out.find("\"vlan\":\"red\""), std::string::npos) << "the counted run is not restored";
    EXPECT_NE(coild.log().find("2 of 2 records applied"), std::string::npos);
}

TEST_F(Coild, LabLoopIsFoundDisabledAndReleased) {
    start();
    ASSERT_EQ(ctl({"enable"}).status, 0);
    ASSERT_EQ(ctl({"configure", "blue", "interval", "1", "disable-port", "permanent"}).status, 0);
    Outcome cable = ctl({"lab", "cable", "1:1", "1:2"});
    EXPECT_EQ(cable.out, "cabled 1:1 and 1:2\n");
    ASSERT_TRUE(eventually({"show", "disabled-ports"}, "permanent", 10)) << ctl({"show", "disabled-ports"}).out;

    Outcome ports = ctl({"lab", "ports"});
    EXPECT_NE(ports.out.find("disabled  down  cable 1:"), std::string::npos) << ports.out;
    Outcome status = ctl({"show", "status", "blue"});
    EXPECT_NE(status.out.find("# LOOP DETECTED # --- vlan \"blue\""), std::string::npos) << status.out;
    Outcome dump = ctl({"debug", "dump", "ports"});
    EXPECT_NE(dump.out.find("Dumping Control Port List"), std::string::npos) << dump.out;
    EXPECT_NE(dump.out.find("inLif: 1:"), std::string::npos) << dump.out;

    // Removing the service enables the port it disabled.
    ASSERT_EQ(ctl({"unconfigure", "blue"}).status, 0);
    EXPECT_TRUE(eventually({"show", "disabled-ports"}, "no disabled ports", 10));
    EXPECT_EQ(ctl({"lab", "ports"}).out.find("disabled"), std::string::npos);
}

TEST_F(Coild, ExitStatusesTellUsageFromRefusalFromNoDaemon) {
    EXPECT_EQ(ctl({"show"}).status, 3);
    Outcome help = ctl({"configure", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: coilctl configure VLAN"), std::string::npos) << help.out;
    EXPECT_EQ(ctl({"configure"}).status, 2);
    EXPECT_EQ(ctl({"lab", "cable", "1:1"}).status, 2);
    EXPECT_EQ(ctl({"frobnicate"}).status, 2);

    start();
    Outcome refused = ctl({"set", "coilServiceStatus", "vlan=blue"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "Object coilServiceStatus does not support method set.\n");
    Outcome lab = ctl({"lab", "cable", "1:1", "9:9"});
    EXPECT_EQ(lab.status, 1);
    EXPECT_FALSE(lab.err.empty());
    EXPECT_EQ(ctl({"show", "status", "green"}).status, 1) << "no service there";
}

}  // namespace
