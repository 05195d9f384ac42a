// The control socket between processes. A running coild answers garbage,
// cut and stalled requests with an error and goes on serving; a client that
// reads its replies slowly holds up no one else; a long reply comes in
// pieces. And coilctl, facing a daemon that answers wrongly or not at all,
// says what went wrong and exits with the status for an unreachable coild.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "mira/control/control_client.h"
#include "mira/control/control_frame.h"
#include "mira/control/control_message.h"
#include "support/coild_process.h"

namespace {

using namespace mira::control;
using Clock = std::chrono::steady_clock;

// Reads reply frames until `want` are whole, the peer closes, or 5 s pass.
std::vector<Message> readReplies(int fd, size_t want, bool* closed) {
    FrameReader reader(kMaxReplyPayload);
    std::vector<Message> out;
    *closed = false;
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (out.size() < want && Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buf[65536];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            *closed = true;
            break;
        }
        reader.feed(buf, size_t(n));
        for (Frame f; reader.next(&f) == FrameReader::Status::Ready;) {
            Message m;
            std::string error;
            EXPECT_TRUE(parseMessage(f.payload, &m, &error)) << error;
            out.push_back(m);
        }
    }
    return out;
}

TEST(ControlFaults, GarbageAndCutRequestsGetAnErrorAndCoildGoesOn) {
    coiltest::CoildProcess coild;
    ASSERT_TRUE(coild.start()) << coild.errors();
    const std::string socket = controlSocketPath(coild.runDir);

    // Garbage of every kind on one connection, each answered, then a good request.
    int fd = coiltest::CoildProcess::connectTo(socket);
    ASSERT_GE(fd, 0);
    const std::string stream = encodeFrame(kTypeCm, std::string("\x00\xff\x10garbage", 10)) +
                               encodeFrame(0xdeadbeef, "method=get\n") +
                               encodeFrame(kTypeCm, "method=get\nobject=coilNothing\nflag=exact\n") +
                               encodeFrame(kTypeCm, "method=set\nobject=coilServiceNode\nattr=interval\n") +
                               encodeFrame(kTypeSave, "arg=now\n") + encodeFrame(kTypeLab, "") +
                               // A raw NUL in an attribute's name once came back in an
                               // error reply that no client could read.
                               encodeFrame(kTypeCm, std::string("method=set\nobject=coilDebug\nattr=cmd\0=3\n", 40)) +
                               encodeFrame(kTypeCm, "method=get\nobject=coilGlobalCfg\nflag=exact\ncount=1\n");
    ASSERT_TRUE(coiltest::sendAll(fd, stream.data(), stream.size()));
    bool closed = false;
    std::vector<Message> replies = readReplies(fd, 8, &closed);
    ASSERT_EQ(replies.size(), 8u);
    for (size_t i = 0; i < 7; i++) {
        EXPECT_EQ(replies[i].get("status"), "error") << i;
        EXPECT_FALSE(replies[i].get("error").empty()) << i;
    }
    EXPECT_EQ(replies[7].get("status"), "ok");
    ::close(fd);

    // A request cut short by the end of its connection.
    fd = coiltest::CoildProcess::connectTo(socket);
    const std::string cut = encodeFrame(kTypeCm, "method=get\nobject=coilGlobalCfg\n").substr(0, 20);
    ASSERT_TRUE(coiltest::sendAll(fd, cut.data(), cut.size()));
    ::shutdown(fd, SHUT_WR);
    replies = readReplies(fd, 1, &closed);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_NE(replies[0].get("error").find("truncated request: the connection ended 20 bytes before the end"),
              std::string::npos)
        << replies[0].get("error");
    ::close(fd);

    // A request announcing 4 GiB is refused before any of it is read.
    fd = coiltest::CoildProcess::connectTo(socket);
    const std::string huge("\x00\x00\x00\x01\xff\xff\xff\xff", 8);
    ASSERT_TRUE(coiltest::sendAll(fd, huge.data(), huge.size()));
    replies = readReplies(fd, 2, &closed);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_NE(replies[0].get("error").find("more than the largest request"), std::string::npos);
    EXPECT_TRUE(closed);
    ::close(fd);

    EXPECT_EQ(coild.ctl({"show"}).status, 0);
    EXPECT_EQ(coild.terminate(), 0);
}

// A client pipelines requests and takes its replies a little at a time, as
// slowly as it can without stalling outright. Nobody else waits for it, and
// once what it leaves unread is older than the deadline it is dropped.
TEST(ControlFaults, ASlowReaderDelaysNoOneAndIsDropped) {
    coiltest::CoildProcess coild;
    ASSERT_TRUE(coild.start()) << coild.errors();
    int slow = coiltest::CoildProcess::connectTo(controlSocketPath(coild.runDir));
    ASSERT_GE(slow, 0);
    std::string requests;
    for (int i = 0; i < 200; i++) requests += encodeFrame(kTypeLab, "arg=ports\n");  // ~15 kB replies
    ASSERT_TRUE(coiltest::sendAll(slow, requests.data(), requests.size()));
    std::atomic<bool> dropped{false};
    std::thread reader([&] {
        char buf[4096];
        for (int i = 0; i < 5; i++) {  // 4 kB every 1.5 s: past the deadline
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            if (::recv(slow, buf, sizeof buf, MSG_DONTWAIT) == 0) break;
        }
        // Then all that is left, up to the end coild gave the connection.
        pollfd p{slow, POLLIN, 0};
        while (::poll(&p, 1, 5000) > 0) {
            const ssize_t n = ::recv(slow, buf, sizeof buf, 0);
            if (n <= 0) {
                dropped = n == 0;
                return;
            }
        }
    });
    double worst = 0;
    Message show;
    show.add("method", "get").add("object", "coilGlobalCfg").add("flag", "exact");
    for (int i = 0; i < 30; i++) {
        Message reply;
        std::string error;
        const auto begin = Clock::now();
        EXPECT_TRUE(coild.request(kTypeCm, show, &reply, &error)) << error;
        worst = std::max(worst, std::chrono::duration<double>(Clock::now() - begin).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_LT(worst, 0.5) << "another client waited behind the slow reader";
    reader.join();
    EXPECT_TRUE(dropped);
    EXPECT_NE(coild.log().find("dropped a client: data left unread for more than"), std::string::npos)
        << coild.log();
    ::close(slow);
    EXPECT_EQ(coild.terminate(), 0);
    std::printf("[ figures  ] slowest of 30 requests behind a slow reader: %.1f ms\n", worst * 1000);
}

// A walk longer than one piece comes in several frames, made as they are
// read; coilctl joins them.
TEST(ControlFaults, ALongReplyComesInPiecesThatCoilctlJoins) {
    coiltest::CoildProcess coild;
    ASSERT_TRUE(coild.start()) << coild.errors();
    std::string error;
    for (int i = 0; i < 400; i++) {
        Message set, reply;
        set.add("method", "set").add("object", "coilServiceNode");
        for (std::string attr : {"clientIdentifier=daemon-" + std::to_string(i), std::string("vlanIfInstance=5"),
                                 std::string("vlan=blue"), std::string("rowStatus=createAndGo")})
            set.add("attr", attr);
        ASSERT_TRUE(coild.request(kTypeCm, set, &reply, &error)) << error;
        ASSERT_EQ(reply.get("result"), "1") << reply.get("message");
    }
    int fd = coiltest::CoildProcess::connectTo(controlSocketPath(coild.runDir));
    const std::string walk = encodeFrame(kTypeCm, "method=get\nobject=coilServiceNode\nflag=walk\n");
    ASSERT_TRUE(coiltest::sendAll(fd, walk.data(), walk.size()));
    FrameReader frames(kMaxReplyPayload);
    ReplyAssembler whole;
    int parts = 0;
    for (bool done = false; !done;) {
        pollfd p{fd, POLLIN, 0};
        ASSERT_GT(::poll(&p, 1, 5000), 0);
        char buf[65536];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        ASSERT_GT(n, 0);
        frames.feed(buf, size_t(n));
        for (Frame f; !done && frames.next(&f) == FrameReader::Status::Ready;) {
            EXPECT_LE(f.payload.size(), size_t{80} * 1024);
            parts += f.type == kTypeReplyPart;
            done = whole.add(f, &error) == ReplyAssembler::Status::Done;
        }
    }
    ::close(fd);
    EXPECT_GE(parts, 2);
    Message reply;
    ASSERT_TRUE(parseMessage(whole.payload(), &reply, &error)) << error;
    EXPECT_EQ(reply.get("status"), "ok");
    EXPECT_EQ(reply.get("records"), "400");
    const coiltest::Outcome shown = coild.ctl({"show", "services"});
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find("daemon-399"), std::string::npos);
    EXPECT_EQ(coild.terminate(), 0);
}

// A stand-in for coild that answers each request with `reply` (raw bytes),
// then closes.
class FakeCoild {
  public:
    explicit FakeCoild(const std::string& dir) : path_(dir + "/coild.sock") {
        listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
        EXPECT_EQ(::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(listen_, 4), 0);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeCoild() {
        stop_ = true;
        ::shutdown(listen_, SHUT_RDWR);
        thread_.join();
        ::close(listen_);
        ::unlink(path_.c_str());
    }
    std::string reply;

  private:
    void serve() {
        while (!stop_) {
            int fd = ::accept(listen_, nullptr, nullptr);
            if (fd < 0) return;
            char buf[4096];
            ::recv(fd, buf, sizeof buf, 0);  // the request
            coiltest::sendAll(fd, reply.data(), reply.size());
            ::close(fd);
        }
    }
    std::string path_;
    int listen_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(ControlFaults, CoilctlSaysWhatIsWrongWithABrokenReply) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("coil-fake-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    FakeCoild fake(dir.string());
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
        fake.reply = c.bytes;
        const std::string out = (dir / "out").string(), err = (dir / "err").string();
        const pid_t pid =
            coiltest::spawnProgram({coiltest::buildProgram("coilctl"), "--run-dir", dir.string(), "show"}, out, err);
        EXPECT_EQ(coiltest::waitExit(pid, 10'000), 3) << c.says;
        EXPECT_NE(coiltest::readFile(err).find(c.says), std::string::npos) << coiltest::readFile(err);
        EXPECT_EQ(coiltest::readFile(out), "");
    }
    std::filesystem::remove_all(dir);
}

// coild refuses a request larger than it takes and closes the connection
// while coilctl is still sending it: coilctl shows coild's reason, not the
// broken pipe it met.
TEST(ControlFaults, CoilctlShowsWhyCoildRefusedItNotABrokenPipe) {
    coiltest::CoildProcess coild;
    ASSERT_TRUE(coild.start()) << coild.errors();
    const std::string big(120'000, 'x');  // three of them: more than a socket buffer holds
    const coiltest::Outcome out =
        coild.ctl({"set", "coilServiceNode", "vlan=" + big, "clientIdentifier=" + big, "action=" + big});
    EXPECT_NE(out.status, 0);
    EXPECT_EQ(out.err.find("Broken pipe"), std::string::npos) << out.err;
    EXPECT_NE(out.err.find("request refused: its frame announces"), std::string::npos) << out.err;
    EXPECT_EQ(coild.ctl({"show"}).status, 0);
    EXPECT_EQ(coild.terminate(), 0);
}

}  // namespace
