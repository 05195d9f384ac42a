// coil-client against a running coild on a chassis with a cabled loop, as
// processes: watch with registration, requests from another invocation
// (when coild lets client daemons share services),
// and the command line's refusals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/coild_process.h"

namespace {

using coiltest::Outcome;

const char* const kLoopChassis =
    "chassis mac 02:00:00:c0:11:01 slots 2 first 1 ports 8\n"
    "vlan blue instance 100 tag 100 ports 1:1-1:4\n"
    "cable 1:1 1:2\n";

class CoilClientTool : public testing::Test {
  protected:
    Outcome client(std::vector<std::string> args) {
        args.insert(args.begin(), {"--wait", "5"});
        return coild.run("coil-client", args);
    }
    coiltest::CoildProcess coild;
};

TEST_F(CoilClientTool, WatchRegistersStartsAndPrintsTheLoop) {
    ASSERT_TRUE(coild.start(kLoopChassis));
    Outcome json = client({"watch", "--json", "--register", "ospf", "100", "--ports", "1:1", "--reports", "1",
                           "--timeout", "10"});
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.out,
              "{\"report\":\"loop\",\"msgType\":2,\"clientId\":\"ospf\",\"vlanIfInstance\":100,\"vlan\":\"blue\","
              "\"ingress\":\"1:2\",\"ingressLogical\":\"1:2\",\"egress\":\"1:1\",\"probeVlanInstance\":100,"
              "\"txPortId\":65537,\"pollType\":2,\"pollTypeName\":\"continuous\",\"count\":0,\"interval\":1,"
              "\"numPorts\":1,\"vr\":0,\"seq\":0,"
              "\"statusFlag\":0}\n");

    // The first watcher's service went with it: were it still there, this
    // Register would be ignored and the report would go to the old peer.
    Outcome text = client({"watch", "--register", "ospf", "100", "--ports", "1:2", "--restart", "--reports", "2",
                           "--timeout", "10"});
    EXPECT_EQ(text.status, 0) << text.err;
    const std::string line = "loop client=ospf vlan=100 name=blue ingress=1:1 ingress-logical=1:1 egress=1:2 "
                             "probe-vlan=100\n";
    EXPECT_EQ(text.out, line + line) << "--restart starts the run again after its loop";
}

TEST_F(CoilClientTool, WithSharedServicesAnotherInvocationStartsTheWatchersService) {
    ASSERT_TRUE(coild.start(kLoopChassis, {"--trace", "--clients-share-services"}));
    // Registered and started on a port without link: silent until restarted.
    const pid_t watcher = coild.launch("coil-client",
                                       {"--wait", "5", "watch", "--register", "ospf", "100", "--ports", "1:3",
                                        "--reports", "1", "--timeout", "10"},
                                       "watcher");
    ASSERT_TRUE(coild.logShows("Start Poll 2 [ospf:100]"));
    Outcome start = client({"start", "ospf", "100", "--ports", "1:1"});
    EXPECT_EQ(start.status, 0) << start.err;
    Outcome watched = coild.finish(watcher, "watcher");
    EXPECT_EQ(watched.status, 0) << watched.err;
    EXPECT_EQ(watched.out.rfind("loop client=ospf vlan=100 name=blue ingress=1:2", 0), 0u) << watched.out;

    // The service went with the watcher: a stop now would change nothing.
    Outcome stop = client({"stop", "ospf", "100"});
    EXPECT_EQ(stop.status, 1);
    EXPECT_EQ(stop.err, "coil-client: no service ospf on VLAN blue (instance 100): stop has no effect\n");
}

TEST_F(CoilClientTool, RefusalsAndHelp) {
    Outcome none = client({"--wait", "0", "watch"});
    EXPECT_EQ(none.status, 3) << "unreachable";
    EXPECT_NE(none.err.find("is coild running"), std::string::npos) << none.err;

    for (const char* command : {"watch", "register", "start", "stop", "deregister"}) {
        Outcome h = client({command, "--help"});
        EXPECT_EQ(h.status, 0) << command;
        EXPECT_NE(h.out.find(std::string("usage: coil-client ") + command), std::string::npos) << command;
    }
    EXPECT_NE(client({"watch", "--help"}).out.find("--register CLIENT VLAN"), std::string::npos);

    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"bogus"},
             {"start", "ospf"},
             {"start", "ospf", "100", "--interval", "0"},
             {"start", "ospf", "100", "--ports", "1:3-2:4"},
             {"register", std::string(32, 'x'), "100"},
             {"stop", "ospf", "100", "--ports", "1:1"},
             {"watch", "--ports", "1:1"}}) {
        Outcome o = client(bad);
        EXPECT_EQ(o.status, 2) << bad[0] << " " << (bad.size() > 1 ? bad[1] : "");
        EXPECT_NE(o.err.find("usage:"), std::string::npos);
    }
}

}  // namespace
