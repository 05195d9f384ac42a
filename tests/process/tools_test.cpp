// coilctl, coil-client and the control socket through the real programs:
// one meaning per exit status and refusals in the daemon's words, output for
// programs (XML that xmllint takes, JSON that python's json module takes,
// key=value lines), and a loop seen through coilctl watch, the lab commands and a capture.
// The socket answers garbage, cut and oversized requests with an error and
// goes on serving; a client that reads none of its replies is dropped; a
// long reply comes in pieces; and coilctl, facing a daemon that answers
// wrongly, says what went wrong and exits as for an unreachable one.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "mira/control/control_client.h"
#include "mira/control/control_frame.h"
#include "support/coild_process.h"

namespace {

using namespace mira::control;
using coiltest::CoildProcess;
using coiltest::Outcome;

class Tools : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(coild.start(coiltest::kLoopChassis)) << coild.errors(); }
    bool eventually(const std::vector<std::string>& args, const std::string& text) {
        return coiltest::within(10, [&] { return coild.ctl(args).out.find(text) != std::string::npos; });
    }
    int connect() { return CoildProcess::connectTo(controlSocketPath(coild.runDir)); }
    // Sends the bytes on a new connection and ends its sending side; the
    // replies (a reply in parts joined) until coild closes it (then `closed`)
    // or 5 s pass, and the number of part frames.
    std::vector<Message> exchange(const std::string& bytes, int* parts = nullptr) {
        const int fd = connect();
        EXPECT_TRUE(coiltest::sendAll(fd, bytes.data(), bytes.size()));
        ::shutdown(fd, SHUT_WR);
        const timeval fiveSeconds{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &fiveSeconds, sizeof fiveSeconds);
        FrameReader reader(kMaxReplyPayload);
        ReplyAssembler whole;
        std::vector<Message> out;
        char buf[65536];
        ssize_t n;
        while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) {
            reader.feed(buf, size_t(n));
            std::string error;
            for (Frame f; reader.next(&f) == FrameReader::Status::Ready;) {
                EXPECT_LE(f.payload.size(), size_t{80} * 1024);
                if (parts) *parts += f.type == kTypeReplyPart;
                if (whole.add(f, &error) != ReplyAssembler::Status::Done) continue;
                EXPECT_TRUE(parseMessage(whole.payload(), &out.emplace_back(), &error)) << error;
                whole = ReplyAssembler();
            }
        }
        closed = n == 0;
        ::close(fd);
        return out;
    }
    coiltest::CoildProcess coild;
    bool closed = false;
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
        {true, {"--version"}, 0, "coilctl "},          {false, {"--version"}, 0, "coil-client "},
        {true, {"--bogus", "show"}, 2, ""},            {false, {"--bogus", "vlans"}, 2, ""},
        {true, {"configure"}, 2, ""},                  {true, {"lab", "cable", "1:1"}, 2, ""},
        {true, {"frobnicate"}, 2, ""},                 {false, {"bogus"}, 2, usage},
        {false, {"start", "ospf"}, 2, usage},          {false, {"start", "ospf", "100", "--interval", "0"}, 2, usage},
        {false, {"watch", "--ports", "1:1"}, 2, usage}, {false, {"start", "ospf", "100", "--ports", "1:3-2:4"}, 2, usage},
        {false, {"stop", "ospf", "100", "--ports", "1:1"}, 2, usage},
        {false, {"register", std::string(32, 'x'), "100"}, 2, usage},
        {true, {"configure", "--help"}, 0, "usage: coilctl configure VLAN"},
        {false, {"watch", "--help"}, 0, "--register CLIENT VLAN"},
        {false, {"register", "--help"}, 0, "usage: coil-client register"},
        {false, {"start", "--help"}, 0, "usage: coil-client start"},
        {false, {"stop", "--help"}, 0, "usage: coil-client stop"}, {false, {"deregister", "--help"}, 0, "deregister"},
        {true, {"--run-dir=/nonexistent", "show"}, 3, ""},
        {false, {"--run-dir=/nonexistent", "--wait", "0", "watch"}, 3, "is coild running"},
        {true, {"configure", "red"}, 1, "COIL Client is disabled. Operation failed!\nrun coilctl enable\n"},
        {true, {"enable"}, 0, "loop detection enabled\n"},
        {true, {"configure", "nosuch"}, 1, "Invalid Vlan nosuch specified!\nthe VLANs are: blue, red\n"},
        {true, {"configure", "blue"}, 0, ""},
        {true, {"configure", "blue"}, 1, "ERROR: An active session already exists for \"CLI:blue\" !\n"},
        {true, {"set", "coilServiceStatus", "vlan=blue"}, 1, "Object coilServiceStatus does not support method set.\n"},
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
    ASSERT_GT(watcher, 0);
    // The subscription is in place once a change shows in the stream.
    ASSERT_TRUE(coiltest::within(5, [&] {
        coild.ctl({"configure", "red", "count", "1", "interval", "1"});
        return coild.output("watch").find("\"no-loop\"") != std::string::npos;
    }));
    ASSERT_EQ(coild.ctl({"configure", "blue", "interval", "1", "disable-port", "permanent"}).status, 0);
    ASSERT_TRUE(eventually({"show", "disabled-ports"}, "permanent"));
    EXPECT_TRUE(coild.logShows("WARNING capture: capture to " + fifo + " stopped"));
    const std::pair<std::vector<std::string>, std::string> shown[] = {
        {{"lab", "ports"}, "disabled  down  cable 1:"},
        {{"show", "status", "blue"}, "# LOOP DETECTED # --- vlan \"blue\""},
        {{"debug", "dump", "ports"}, "inLif: 1:"},
    };
    for (const auto& [args, text] : shown) EXPECT_NE(coild.ctl(args).out.find(text), std::string::npos) << text;
    const std::string ports = coild.ctl({"--json", "show", "ports"}).out;
    const size_t loops = ports.find("\"loops\":", ports.find("\"name\":\"1:2\""));
    ASSERT_NE(loops, std::string::npos) << ports;
    EXPECT_NE(ports[loops + 8], '0') << "the probes came back in through 1:2";

    // Removing the service enables the port it disabled.
    ASSERT_EQ(coild.ctl({"unconfigure", "blue"}).status, 0);
    EXPECT_TRUE(eventually({"show", "disabled-ports"}, "no disabled ports"));
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


TEST_F(Tools, GarbageCutAndOversizedRequestsGetAnErrorAndCoildGoesOn) {
    // Garbage of every kind on one connection, each answered, then a good request.
    const std::string stream = encodeFrame(kTypeCm, std::string("\x00\xff\x10garbage", 10)) +
                               encodeFrame(0xdeadbeef, "method=get\n") +
                               encodeFrame(kTypeCm, "method=get\nobject=coilNothing\nflag=exact\n") +
                               encodeFrame(kTypeCm, "method=set\nobject=coilServiceNode\nattr=interval\n") +
                               encodeFrame(kTypeSave, "arg=now\n") + encodeFrame(kTypeLab, "") +
                               // A raw NUL in an attribute's name once came back in an
                               // error reply that no client could read.
                               encodeFrame(kTypeCm, std::string("method=set\nobject=coilDebug\nattr=cmd\0=3\n", 40)) +
                               encodeFrame(kTypeCm, "method=get\nobject=coilGlobalCfg\nflag=exact\ncount=1\n");
    std::vector<Message> replies = exchange(stream);
    ASSERT_EQ(replies.size(), 8u);
    for (size_t i = 0; i < 7; i++) {
        EXPECT_EQ(replies[i].get("status"), "error") << i;
        EXPECT_FALSE(replies[i].get("error").empty()) << i;
    }
    EXPECT_EQ(replies[7].get("status"), "ok");

    // A request cut short by the end of its connection ends it (one announcing
    // 4 GiB: ControlSocket.OversizedHeaderIsRefusedWithoutWaitingForItsPayload).
    replies = exchange(encodeFrame(kTypeCm, "method=get\nobject=coilGlobalCfg\n").substr(0, 20));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].get("error").find("truncated request: the connection ended 20 bytes before the end"), 0u)
        << replies[0].get("error");
    EXPECT_TRUE(closed);
    // coilctl sending one: it shows coild's reason, not the broken pipe it met.
    const std::string big(120'000, 'x');  // three of them: more than a socket buffer holds
    const coiltest::Outcome out =
        coild.ctl({"set", "coilServiceNode", "vlan=" + big, "clientIdentifier=" + big, "action=" + big});
    EXPECT_NE(out.status, 0);
    EXPECT_EQ(out.err.find("Broken pipe"), std::string::npos) << out.err;
    EXPECT_NE(out.err.find("request refused: its frame announces"), std::string::npos) << out.err;
    EXPECT_EQ(coild.ctl({"show"}).status, 0);
}

// A client pipelines requests and reads none of the replies: once they
// are older than the deadline it is dropped, and others are served meanwhile
// (how promptly, behind the same output queue: Pair.ASlowPeerHoldsUpNoOne).
TEST_F(Tools, AClientThatReadsNothingIsDropped) {
    const int slow = connect();
    std::string requests;
    for (int i = 0; i < 200; i++) requests += encodeFrame(kTypeLab, "arg=ports\n");  // ~15 kB replies
    ASSERT_TRUE(coiltest::sendAll(slow, requests.data(), requests.size()));
    EXPECT_EQ(coild.cm("get", "coilGlobalCfg").get("status"), "ok");
    EXPECT_TRUE(coild.logShows("dropped a client: data left unread for more than 5000 ms", 10));
    // All that is left, up to the end coild gave the connection.
    char buf[65536];
    ssize_t n = 1;
    for (pollfd p{slow, POLLIN, 0}; n > 0 && ::poll(&p, 1, 5000) > 0;) n = ::recv(slow, buf, sizeof buf, 0);
    EXPECT_EQ(n, 0) << "the client was not dropped";
    ::close(slow);
}

// A walk longer than one piece comes in several frames, made as they are
// read; coilctl joins them.
TEST_F(Tools, ALongReplyComesInPiecesThatCoilctlJoins) {
    for (int i = 0; i < 400; i++)
        ASSERT_TRUE(coild.createService({"clientIdentifier=daemon-" + std::to_string(i), "vlanIfInstance=100", "vlan=blue"}));
    int parts = 0;
    const std::vector<Message> replies =
        exchange(encodeFrame(kTypeCm, "method=get\nobject=coilServiceNode\nflag=walk\n"), &parts);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_GE(parts, 2);
    EXPECT_EQ(replies[0].get("status"), "ok");
    EXPECT_EQ(replies[0].get("records"), "400");
    const coiltest::Outcome shown = coild.ctl({"show", "services"});
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find("daemon-399"), std::string::npos);
}

// A stand-in for coild in its own run directory answers each request with
// the raw bytes of a broken reply, then closes; coilctl says what is wrong.
TEST(CoilctlFaults, SaysWhatIsWrongWithABrokenReply) {
    CoildProcess dir;  // only for its directory
    std::filesystem::create_directories(dir.runDir);
    const int listener = coiltest::bindUnix(controlSocketPath(dir.runDir));
    ASSERT_EQ(::listen(listener, 4), 0);
    const struct {
        std::string bytes;
        const char* says;
    } cases[] = {
        {"", "coild closed the connection before its reply was complete"},
        {encodeFrame(kTypeReply, "status=ok\n").substr(0, 12), "coild closed the connection before its reply was complete"},
        {encodeFrame(kTypeCm, "status=ok\n"), "unexpected frame type 1 from coild"},
        {encodeFrame(kTypeReply, "no fields here"), "malformed reply from coild"},
        {std::string("\x00\x00\x01\x00\x7f\xff\xff\xff", 8), "reply of 2147483647 bytes refused"},
    };
    for (const auto& c : cases) {
        const pid_t ctl = dir.launch("coilctl", {"show"}, "ctl");
        pollfd p{listener, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 10'000), 1) << c.says;
        const int fd = ::accept(listener, nullptr, nullptr);
        char buf[4096];
        ::recv(fd, buf, sizeof buf, 0);  // the request
        coiltest::sendAll(fd, c.bytes.data(), c.bytes.size());
        ::close(fd);
        const coiltest::Outcome o = dir.finish(ctl, "ctl", 10'000);
        EXPECT_EQ(o.status, 3) << c.says;
        EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
        EXPECT_EQ(o.out, "");
    }
    ::close(listener);
}

}  // namespace
