// The control socket between processes. A running coild answers garbage,
// cut and oversized requests with an error and goes on serving; a client
// that reads its replies slowly holds up no one else; a long reply comes in
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
#include "support/coild_process.h"

namespace {

using namespace mira::control;
using Clock = std::chrono::steady_clock;
using coiltest::CoildProcess;

class ControlFaults : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(coild.start()) << coild.errors(); }
    int connect() { return CoildProcess::connectTo(controlSocketPath(coild.runDir)); }
    // Sends the bytes on a new connection (then ends the sending side when
    // asked), and reads replies until `want` are whole, the peer closes, or
    // 5 s pass; the joined payloads of a reply in parts count as one.
    std::vector<Message> exchange(const std::string& bytes, size_t want, bool shutWrite = false,
                                  bool* closed = nullptr, int* parts = nullptr) {
        const int fd = connect();
        EXPECT_TRUE(coiltest::sendAll(fd, bytes.data(), bytes.size()));
        if (shutWrite) ::shutdown(fd, SHUT_WR);
        FrameReader reader(kMaxReplyPayload);
        ReplyAssembler whole;
        std::vector<Message> out;
        const auto end = Clock::now() + std::chrono::seconds(5);
        while (out.size() < want && Clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buf[65536];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                if (closed) *closed = true;
                break;
            }
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
        ::close(fd);
        return out;
    }
    CoildProcess coild;
};

TEST_F(ControlFaults, GarbageCutAndOversizedRequestsGetAnErrorAndCoildGoesOn) {
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
    std::vector<Message> replies = exchange(stream, 8);
    ASSERT_EQ(replies.size(), 8u);
    for (size_t i = 0; i < 7; i++) {
        EXPECT_EQ(replies[i].get("status"), "error") << i;
        EXPECT_FALSE(replies[i].get("error").empty()) << i;
    }
    EXPECT_EQ(replies[7].get("status"), "ok");

    // A request cut short by the end of its connection.
    replies = exchange(encodeFrame(kTypeCm, "method=get\nobject=coilGlobalCfg\n").substr(0, 20), 1, true);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_NE(replies[0].get("error").find("truncated request: the connection ended 20 bytes before the end"),
              std::string::npos)
        << replies[0].get("error");
    // A request announcing 4 GiB is refused before any of it is read.
    bool closed = false;
    replies = exchange(std::string("\x00\x00\x00\x01\xff\xff\xff\xff", 8), 2, false, &closed);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_NE(replies[0].get("error").find("more than the largest request"), std::string::npos);
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

// A client pipelines requests and takes its replies a little at a time, as
// slowly as it can without stalling outright. Nobody else waits for it, and
// once what it leaves unread is older than the deadline it is dropped.
TEST_F(ControlFaults, ASlowReaderDelaysNoOneAndIsDropped) {
    const int slow = connect();
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
        for (ssize_t n = 1; n > 0 && ::poll(&p, 1, 5000) > 0;) {
            n = ::recv(slow, buf, sizeof buf, 0);
            dropped = n == 0;
        }
    });
    double worst = 0;
    for (int i = 0; i < 30; i++) {
        const auto begin = Clock::now();
        EXPECT_EQ(coild.cm("get", "coilGlobalCfg").get("status"), "ok");
        worst = std::max(worst, std::chrono::duration<double>(Clock::now() - begin).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_LT(worst, 0.5) << "another client waited behind the slow reader";
    reader.join();
    EXPECT_TRUE(dropped);
    EXPECT_NE(coild.log().find("dropped a client: data left unread for more than"), std::string::npos);
    ::close(slow);
    std::printf("[ figures  ] slowest of 30 requests behind a slow reader: %.1f ms\n", worst * 1000);
}

// A walk longer than one piece comes in several frames, made as they are
// read; coilctl joins them.
TEST_F(ControlFaults, ALongReplyComesInPiecesThatCoilctlJoins) {
    for (int i = 0; i < 400; i++)
        ASSERT_TRUE(coild.createService({"clientIdentifier=daemon-" + std::to_string(i), "vlanIfInstance=5", "vlan=blue"}));
    int parts = 0;
    const std::vector<Message> replies =
        exchange(encodeFrame(kTypeCm, "method=get\nobject=coilServiceNode\nflag=walk\n"), 1, false, nullptr, &parts);
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
    const std::string path = controlSocketPath(dir.runDir);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
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
