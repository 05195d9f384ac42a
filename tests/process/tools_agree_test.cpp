// coilctl and coil-client through the real programs: one meaning per exit
// status, a VLAN by name or instance (and a refusal that lists the names),
// requests that would have no effect said to be so, and coilctl watch's
// stream of what the daemon does.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "support/coild_process.h"

namespace {

using coiltest::CoildProcess;
using coiltest::Outcome;

const char* const kChassis =
    "chassis mac 02:00:00:c0:11:01 slots 2 first 1 ports 8\n"
    "vlan blue instance 1 tag 100 ports 1:1-1:4\n"
    "vlan red instance 2 tag 200 ports 2:1-2:4\n"
    "cable 1:1 1:2\n";

Outcome client(const CoildProcess& coild, std::vector<std::string> args) {
    args.insert(args.begin(), {coiltest::buildProgram("coil-client"), "--run-dir", coild.runDir});
    Outcome r;
    const pid_t pid = coiltest::spawnProgram(args, coild.base + "/client.out", coild.base + "/client.err");
    r.status = coiltest::waitExit(pid, 20'000);
    r.out = coiltest::readFile(coild.base + "/client.out");
    r.err = coiltest::readFile(coild.base + "/client.err");
    return r;
}

TEST(ToolsAgree, ExitStatusesVlanNamesAndRequestsWithoutEffect) {
    CoildProcess coild;
    ASSERT_TRUE(coild.start(kChassis)) << coild.errors();
    struct Case {
        bool ctl;
        std::vector<std::string> args;
        int status;
        std::string err;  // expected on standard error, "" for anything
    };
    const std::vector<Case> cases = {
        {true, {"--version"}, 0, ""},
        {false, {"--version"}, 0, ""},
        {true, {"--bogus", "show"}, 2, ""},
        {false, {"--bogus", "vlans"}, 2, ""},
        {true, {"--run-dir=/nonexistent", "show"}, 3, ""},
        {false, {"--run-dir=/nonexistent", "vlans"}, 3, ""},
        {true, {"enable"}, 0, ""},
        {true, {"configure", "nosuch"}, 1, "Invalid Vlan nosuch specified!\nthe VLANs are: blue, red\n"},
        {false, {"register", "ospf", "100"}, 1, "coil-client: no VLAN named or numbered 100\nthe VLANs are: blue, red\n"},
        {false, {"stop", "ospf", "blue"}, 1, "coil-client: no service ospf on VLAN blue (instance 1): stop has no effect\n"},
        {false, {"deregister", "ospf", "2"}, 1, "coil-client: no service ospf on VLAN red (instance 2): deregister has no effect\n"},
    };
    for (const Case& c : cases) {
        const Outcome o = c.ctl ? coild.ctl(c.args) : client(coild, c.args);
        const std::string name = std::string(c.ctl ? "coilctl " : "coil-client ") + c.args[0];
        EXPECT_EQ(o.status, c.status) << name << ": " << o.err;
        if (!c.err.empty()) {
            EXPECT_EQ(o.err, c.err) << name;
        }
    }
    const Outcome vlans = client(coild, {"vlans", "--json"});
    EXPECT_EQ(vlans.out, "[{\"name\":\"blue\",\"instance\":1,\"tag\":100,\"ports\":\"1:1,1:2,1:3,1:4\"},"
                         "{\"name\":\"red\",\"instance\":2,\"tag\":200,\"ports\":\"2:1,2:2,2:3,2:4\"}]\n");
    EXPECT_NE(coild.ctl({"show", "vlans"}).out.find("blue  1         100  1:1-1:4"), std::string::npos);
}

TEST(ToolsAgree, WatchStreamsWhatTheDaemonDoes) {
    CoildProcess coild;
    ASSERT_TRUE(coild.start(kChassis)) << coild.errors();
    ASSERT_EQ(coild.ctl({"enable"}).status, 0);
    const pid_t watcher = coiltest::spawnProgram(
        {coiltest::buildProgram("coilctl"), "--run-dir", coild.runDir, "--json", "watch"}, coild.base + "/watch.out",
        coild.base + "/watch.err");
    ASSERT_GT(watcher, 0);
    // The subscription is in place once a change shows in the stream.
    ASSERT_TRUE(coiltest::within(5, [&] {
        coild.ctl({"configure", "red", "count", "1", "interval", "1"});
        return coiltest::readFile(coild.base + "/watch.out").find("\"no-loop\"") != std::string::npos;
    }));
    ASSERT_EQ(coild.ctl({"configure", "blue", "interval", "1", "disable-port", "1"}).status, 0);
    ASSERT_TRUE(coiltest::within(10, [&] {
        return coiltest::readFile(coild.base + "/watch.out").find("\"port-enabled\"") != std::string::npos;
    }));
    ASSERT_EQ(coild.ctl({"unconfigure", "blue"}).status, 0);
    ASSERT_TRUE(coiltest::within(5, [&] {
        return coiltest::readFile(coild.base + "/watch.out").find("\"service-removed\"") != std::string::npos;
    }));
    ::kill(watcher, SIGINT);
    EXPECT_EQ(coiltest::waitExit(watcher, 5000), 0);
    const std::string stream = coiltest::readFile(coild.base + "/watch.out");
    for (const char* line : {"{\"event\":\"service-added\",", "\"vlan\":\"blue\",\"instance\":1,",
                             "{\"event\":\"loop\",", "\"port\":\"1:2\",\"egress\":\"1:1\"}",
                             "{\"event\":\"port-disabled\",", "\"hold\":1}", "{\"event\":\"service-removed\","})
        EXPECT_NE(stream.find(line), std::string::npos) << line << "\n" << stream;
    const Outcome ports = coild.ctl({"--json", "show", "ports"});
    const size_t port12 = ports.out.find("\"name\":\"1:2\"");
    ASSERT_NE(port12, std::string::npos) << ports.out;
    const size_t loops = ports.out.find("\"loops\":", port12);
    ASSERT_NE(loops, std::string::npos);
    EXPECT_NE(ports.out[loops + 8], '0') << "the probes came back in through 1:2: " << ports.out.substr(port12, 300);
}

}  // namespace
