// coilctl and coil-client through the real programs: one meaning per exit
// status and refusals in the daemon's words, output for programs (XML that
// xmllint takes, JSON that python's json module takes, key=value lines),
// configuration kept across a restart by `coilctl save`, and a loop seen
// through coilctl watch, the lab commands and a capture.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/coild_process.h"

namespace {

using coiltest::Outcome;

class Tools : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(coild.start(coiltest::kLoopChassis)) << coild.errors(); }
    bool eventually(const std::vector<std::string>& args, const std::string& text) {
        return coiltest::within(10, [&] { return coild.ctl(args).out.find(text) != std::string::npos; });
    }
    coiltest::CoildProcess coild;
};

TEST_F(Tools, ExitStatusesAndRefusals) {
    struct Case {
        bool ctl;
        std::vector<std::string> args;
        int status;
        std::string text;  // in the output or the errors
    };
    const std::string usage = "usage:";
    const Case cases[] = {
        {true, {"--version"}, 0, "coilctl "},
        {false, {"--version"}, 0, "coil-client "},
        {true, {"--bogus", "show"}, 2, ""},
        {false, {"--bogus", "vlans"}, 2, ""},
        {true, {"configure"}, 2, ""},
        {true, {"lab", "cable", "1:1"}, 2, ""},
        {true, {"frobnicate"}, 2, ""},
        {true, {"configure", "--help"}, 0, "usage: coilctl configure VLAN"},
        {false, {"watch", "--help"}, 0, "--register CLIENT VLAN"},
        {false, {"register", "--help"}, 0, "usage: coil-client register"},
        {false, {"start", "--help"}, 0, "usage: coil-client start"},
        {false, {"stop", "--help"}, 0, "usage: coil-client stop"},
        {false, {"deregister", "--help"}, 0, "usage: coil-client deregister"},
        {false, {"bogus"}, 2, usage},
        {false, {"start", "ospf"}, 2, usage},
        {false, {"start", "ospf", "100", "--interval", "0"}, 2, usage},
        {false, {"start", "ospf", "100", "--ports", "1:3-2:4"}, 2, usage},
        {false, {"register", std::string(32, 'x'), "100"}, 2, usage},
        {false, {"stop", "ospf", "100", "--ports", "1:1"}, 2, usage},
        {false, {"watch", "--ports", "1:1"}, 2, usage},
        {true, {"--run-dir=/nonexistent", "show"}, 3, ""},
        {false, {"--run-dir=/nonexistent", "--wait", "0", "watch"}, 3, "is coild running"},
        {true, {"configure", "red"}, 1, "COIL Client is disabled. Operation failed!\nrun coilctl enable\n"},
        {true, {"enable"}, 0, "loop detection enabled\n"},
        {true, {"configure", "nosuch"}, 1, "Invalid Vlan nosuch specified!\nthe VLANs are: blue, red\n"},
        {true, {"configure", "blue"}, 0, ""},
        {true, {"configure", "blue"}, 1, "ERROR: An active session already exists for \"CLI:blue\" !\n"},
        {true, {"show", "status", "red"}, 1, ""},  // no service there
        {true, {"set", "coilServiceStatus", "vlan=blue"}, 1, "Object coilServiceStatus does not support method set.\n"},
        {true, {"lab", "cable", "1:1", "9:9"}, 1, ""},
        {true, {"lab", "cable", "2:1", "2:2"}, 0, "cabled 2:1 and 2:2\n"},
        {false, {"register", "ospf", "300"}, 1, "coil-client: no VLAN named or numbered 300\nthe VLANs are: blue, red\n"},
        {false, {"stop", "ospf", "blue"}, 1,
         "coil-client: no service ospf on VLAN blue (instance 100): stop has no effect\n"},
        {false, {"deregister", "ospf", "200"}, 1,
         "coil-client: no service ospf on VLAN red (instance 200): deregister has no effect\n"},
    };
    for (const Case& c : cases) {
        const Outcome o = c.ctl ? coild.ctl(c.args) : coild.client(c.args);
        SCOPED_TRACE((c.ctl ? "coilctl " : "coil-client ") + c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        EXPECT_EQ(o.status, c.status) << o.err;
        EXPECT_NE((o.out + o.err).find(c.text), std::string::npos) << o.out << o.err;
    }
    EXPECT_EQ(coild.client({"vlans", "--json"}).out,
              "[{\"name\":\"blue\",\"instance\":100,\"tag\":100,\"ports\":\"1:1,1:2,1:3,1:4\"},"
              "{\"name\":\"red\",\"instance\":200,\"tag\":200,\"ports\":\"2:1,2:2,2:3,2:4\"}]\n");
    EXPECT_NE(coild.ctl({"show", "vlans"}).out.find("blue  100       100  1:1-1:4"), std::string::npos);
    // A VLAN all of whose ports left is still listed.
    for (const char* port : {"2:1", "2:2", "2:3", "2:4"})
        ASSERT_EQ(coild.ctl({"lab", "vlan", "remove-port", "red", port}).status, 0);
    EXPECT_NE(coild.client({"vlans", "--json"}).out.find(R"({"name":"red","instance":200,"tag":200,"ports":""})"),
              std::string::npos);
}

// The validator's exit status on the text.
int validate(const std::string& dir, const std::string& command, const std::string& text) {
    std::ofstream(dir + "/output") << text;
    return std::system((command + " '" + dir + "/output' >/dev/null 2>&1").c_str());
}

TEST_F(Tools, EveryReplyIsOneValidDocumentInEachFormatWithTypedValues) {
    ASSERT_EQ(coild.ctl({"enable"}).status, 0);
    ASSERT_EQ(coild.ctl({"configure", "blue", "interval", "1", "disable-port", "30"}).status, 0);
    ASSERT_TRUE(eventually({"show", "disabled-ports"}, "1:"));
    const std::vector<std::pair<std::vector<std::string>, int>> commands = {
        {{"show"}, 0},           {{"show", "services"}, 0},      {{"show", "status", "blue"}, 0},
        {{"lab", "ports"}, 0},   {{"show", "disabled-ports"}, 0}, {{"debug", "dump", "global"}, 0},
        {{"configure", "blue"}, 1}, {{"show", "status", "red"}, 1}, {{"lab", "cable", "1:1", "9:9"}, 1},
    };
    const std::regex keyValueLine("([A-Za-z0-9_-]+)(\\.[A-Za-z0-9_-]+)*=.*");
    for (const auto& [words, status] : commands) {
        SCOPED_TRACE(words[0] + (words.size() > 1 ? " " + words[1] : ""));
        std::vector<std::string> args = {"--xml"};
        args.insert(args.end(), words.begin(), words.end());
        const Outcome xml = coild.ctl(args);
        EXPECT_EQ(xml.status, status) << xml.err;
        EXPECT_EQ(validate(coild.base, "xmllint --noout", xml.out), 0) << xml.out;
        args[0] = "--json";
        const Outcome json = coild.ctl(args);
        EXPECT_EQ(json.status, status);
        EXPECT_EQ(validate(coild.base, "python3 -m json.tool", json.out), 0) << json.out;
        EXPECT_NE(json.out.find(status == 0 ? "\"status\":\"ok\"" : "\"status\":\"error\""), std::string::npos);
        args[0] = "--format=keyvalue";
        const Outcome kv = coild.ctl(args);
        EXPECT_EQ(kv.status, status);
        std::istringstream lines(kv.out);
        for (std::string line; std::getline(lines, line);) EXPECT_TRUE(std::regex_match(line, keyValueLine)) << line;
    }
    const Outcome services = coild.ctl({"--json", "show", "services"});
    for (const char* typed : {"\"interval\":1,", "\"disablePortDuration\":30,", "\"action\":3,",
                              "\"actionName\":\"report-log\"", "\"pollTypeName\":\"continuous\""})
        EXPECT_NE(services.out.find(typed), std::string::npos) << typed << "\n" << services.out;
    EXPECT_NE(coild.ctl({"--json", "show"}).out.find("\"enable\":true"), std::string::npos);
    EXPECT_TRUE(std::regex_search(coild.ctl({"--json", "show", "disabled-ports"}).out,
                                  std::regex("\"timeDisabled\":\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d\"")));
}

TEST_F(Tools, ConfigurationSurvivesARestartThroughSave) {
    ASSERT_EQ(coild.ctl({"enable"}).status, 0);
    ASSERT_EQ(coild.ctl({"configure", "blue", "interval", "2", "disable-port", "30"}).status, 0);
    ASSERT_EQ(coild.ctl({"configure", "red", "count", "3", "interval", "60"}).status, 0);
    const Outcome saved = coild.ctl({"save"});
    EXPECT_EQ(saved.out, "configuration saved to " + coild.runDir + "/coil.conf (2 records)\n") << saved.err;
    EXPECT_EQ(coild.terminate(5000), 0);
    EXPECT_NE(::access((coild.runDir + "/coild.sock").c_str(), F_OK), 0) << "the socket goes with the daemon";
    EXPECT_EQ(coild.ctl({"show"}).status, 3);

    ASSERT_TRUE(coild.start(coiltest::kLoopChassis)) << coild.errors();
    EXPECT_NE(coild.ctl({"show"}).out.find("loop detection         enabled"), std::string::npos);
    const std::string services = coild.ctl({"--json", "show", "services"}).out;
    for (const char* text : {"\"vlan\":\"blue\"", "\"interval\":2", "\"disablePortDuration\":30"})
        EXPECT_NE(services.find(text), std::string::npos) << text << "\n" << services;
    EXPECT_EQ(services.find("\"vlan\":\"red\""), std::string::npos) << "the counted run is not restored";
    EXPECT_TRUE(coild.logShows("2 of 2 records applied"));
}

// coilctl watch streams what the daemon does while a loop is found,
// disabled and released; the lab commands show it; and a capture into a FIFO
// neither blocks coild (nobody reads it) nor ends it (its reader leaves).
TEST_F(Tools, ALoopSeenThroughWatchTheLabCommandsAndACapture) {
    const std::string fifo = coild.base + "/frames.pcap";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const Outcome unread = coild.ctl({"lab", "capture", fifo});
    EXPECT_NE(unread.status, 0);
    EXPECT_NE(unread.err.find("a pipe that nobody reads"), std::string::npos) << unread.err;
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_EQ(coild.ctl({"lab", "capture", fifo}).status, 0);
    ::close(reader);

    ASSERT_EQ(coild.ctl({"enable"}).status, 0);
    const pid_t watcher = coild.launch("coilctl", {"--json", "watch"}, "watch");
    // The subscription is in place once a change shows in the stream.
    ASSERT_TRUE(coiltest::within(5, [&] {
        coild.ctl({"configure", "red", "count", "1", "interval", "1"});
        return coild.output("watch").find("\"no-loop\"") != std::string::npos;
    }));
    ASSERT_EQ(coild.ctl({"configure", "blue", "interval", "1", "disable-port", "permanent"}).status, 0);
    ASSERT_TRUE(eventually({"show", "disabled-ports"}, "permanent"));
    EXPECT_TRUE(coild.logShows("WARNING capture: capture to " + fifo + " stopped"));
    EXPECT_NE(coild.ctl({"lab", "ports"}).out.find("disabled  down  cable 1:"), std::string::npos);
    EXPECT_NE(coild.ctl({"show", "status", "blue"}).out.find("# LOOP DETECTED # --- vlan \"blue\""), std::string::npos);
    const std::string dump = coild.ctl({"debug", "dump", "ports"}).out;
    EXPECT_NE(dump.find("Dumping Control Port List"), std::string::npos) << dump;
    EXPECT_NE(dump.find("inLif: 1:"), std::string::npos) << dump;
    const std::string ports = coild.ctl({"--json", "show", "ports"}).out;
    const size_t loops = ports.find("\"loops\":", ports.find("\"name\":\"1:2\""));
    ASSERT_NE(loops, std::string::npos) << ports;
    EXPECT_NE(ports[loops + 8], '0') << "the probes came back in through 1:2";

    // Removing the service enables the port it disabled.
    ASSERT_EQ(coild.ctl({"unconfigure", "blue"}).status, 0);
    EXPECT_TRUE(eventually({"show", "disabled-ports"}, "no disabled ports"));
    EXPECT_EQ(coild.ctl({"lab", "ports"}).out.find("disabled"), std::string::npos);
    ASSERT_TRUE(coiltest::within(5, [&] { return coild.output("watch").find("\"service-removed\"") != std::string::npos; }));
    ::kill(watcher, SIGINT);
    EXPECT_EQ(coild.finish(watcher, "watch").status, 0);
    const std::string stream = coild.output("watch");
    for (const char* line : {"{\"event\":\"service-added\",", "\"vlan\":\"blue\",\"instance\":100,",
                             "{\"event\":\"loop\",", "\"port\":\"1:2\",\"egress\":\"1:1\"}",
                             "{\"event\":\"port-disabled\",", "{\"event\":\"port-enabled\","})
        EXPECT_NE(stream.find(line), std::string::npos) << line << "\n" << stream;
    EXPECT_EQ(coild.ctl({"show"}).status, 0);
}

}  // namespace
