// coil-client against a running coild on a chassis with a cabled loop, as
// processes: watch with registration, requests from another invocation
// (when coild lets client daemons share services),
// and the command line's refusals.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

const char* const kLoopChassis =
    "chassis mac 02:00:00:c0:11:01 slots 2 first 1 ports 8\n"
    "vlan blue instance 100 tag 100 ports 1:1-1:4\n"
    "cable 1:1 1:2\n";

std::string buildDir() {
    const char* dir = std::getenv("COIL_BUILD_DIR");
    return dir != nullptr ? dir : ".";
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

class CoilClientTool : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/coil-tool-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        run_ = dir_ / "run";
        std::ofstream(dir_ / "loop.topo") << kLoopChassis;
    }
    void TearDown() override {
        for (pid_t pid : background_) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        fs::remove_all(dir_);
    }

    // Starts a program with its output in files named after `tag`.
    pid_t spawn(const std::string& program, std::vector<std::string> args, const std::string& tag) {
        args.insert(args.begin(), buildDir() + "/" + program);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, (dir_ / (tag + ".out")).c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, (dir_ / (tag + ".err")).c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0) << argv[0];
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    Outcome finish(pid_t pid, const std::string& tag) {
        Outcome o;
        int status = 0;
        ::waitpid(pid, &status, 0);
        o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        o.out = slurp(dir_ / (tag + ".out"));
        o.err = slurp(dir_ / (tag + ".err"));
        return o;
    }
    Outcome client(std::vector<std::string> args, const std::string& tag = "client") {
        args.insert(args.begin(), {"--run-dir", run_.string(), "--wait", "5"});
        return finish(spawn("coil-client", args, tag), tag);
    }
    void startCoild(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"--run-dir", run_.string(), "--state-dir", run_.string(),
                                      "--topology", (dir_ / "loop.topo").string(), "--log", (dir_ / "coild.log").string(),
                                      "--trace"};
        args.insert(args.end(), extra.begin(), extra.end());
        background_.push_back(spawn("coild", args, "coild"));
    }
    // Waits until coild's log has the text.
    bool logShows(const std::string& text) {
        for (int i = 0; i < 100; i++) {
            if (slurp(dir_ / "coild.log").find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    fs::path dir_, run_;
    std::vector<pid_t> background_;
};

TEST_F(CoilClientTool, WatchRegistersStartsAndPrintsTheLoop) {
    startCoild();
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
    startCoild({"--clients-share-services"});
    // Registered and started on a port without link: silent until restarted.
    const pid_t watcher = spawn("coil-client",
                                {"--run-dir", run_.string(), "--wait", "5", "watch", "--register", "ospf", "100",
                                 "--ports", "1:3", "--reports", "1", "--timeout", "10"},
                                "watcher");
    ASSERT_TRUE(logShows("Start Poll 2 [ospf:100]"));
    Outcome start = client({"start", "ospf", "100", "--ports", "1:1"}, "start");
    EXPECT_EQ(start.status, 0) << start.err;
    Outcome watched = finish(watcher, "watcher");
    EXPECT_EQ(watched.status, 0) << watched.err;
    EXPECT_EQ(watched.out.rfind("loop client=ospf vlan=100 name=blue ingress=1:2", 0), 0u) << watched.out;

    Outcome stop = client({"stop", "ospf", "100"}, "stop");
    EXPECT_EQ(stop.status, 0) << stop.err;
    EXPECT_TRUE(logShows("Stop Poll 3 [ospf:100]"));
}

TEST_F(CoilClientTool, RefusalsAndHelp) {
    Outcome none = client({"--wait", "0", "watch"});
    EXPECT_EQ(none.status, 3) << "unreachable";
    EXPECT_NE(none.err.find("is coild running"), std::string::npos) << none.err;

    Outcome help = client({"watch", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--register CLIENT VLAN"), std::string::npos);
    for (const char* command : {"register", "start", "stop", "deregister"}) {
        Outcome h = client({command, "--help"});
        EXPECT_EQ(h.status, 0) << command;
        EXPECT_NE(h.out.find(std::string("usage: coil-client ") + command), std::string::npos) << command;
    }

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
