// The control socket's framing: the frame header's bytes and bound, the
// reply to an oversized request as a client sees it, who may serve the socket, and
// the text escapes of request values.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "mira/control/control_frame.h"
#include "mira/control/control_message.h"
#include "mira/core/control_server.h"
#include "mira/control/control_text.h"
#include "mira/core/loop.h"
#include "support/harness.h"
#include "support/temp_dir.h"

namespace {

using namespace mira::control;

sockaddr_un socketAddress(const std::string& dir) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = controlSocketPath(dir);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return addr;
}

class ControlSocket : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(startControlServer(dir.path, &error)) << error;
    }
    void TearDown() override {
        if (client >= 0) ::close(client);
        stopControlServer();
    }

    coiltest::Harness h;
    coiltest::TempDir dir{"coil-control"};
    int client = -1;
};

// (The socket's mode, 0600: RunDirectory.IsPrivateHoldsOneCoild... in tests/process.)
TEST_F(ControlSocket, ASecondServerIsRefusedAndASocketNobodyAnswersIsTakenOver) {
    // A directory whose socket answers belongs to another daemon.
    const coiltest::TempDir otherDir("coil-control");
    const std::string& other = otherDir.path;
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = socketAddress(other);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    std::string error;
    EXPECT_FALSE(startControlServer(other, &error));
    EXPECT_EQ(error, "another coild serves " + controlSocketPath(other));
    ::close(listener);
    // A socket file nobody answers on is left over from a daemon that died.
    EXPECT_TRUE(startControlServer(other, &error)) << error;
    stopControlServer();
    EXPECT_NE(::access(controlSocketPath(other).c_str(), F_OK), 0) << "the socket file is removed on stop";
    ASSERT_TRUE(startControlServer(dir.path, &error)) << error;
}

TEST_F(ControlSocket, OversizedHeaderIsRefusedWithoutWaitingForItsPayload) {
    const int fd = client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = socketAddress(dir.path);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const std::string header("\0\0\0\x01\xff\xff\xff\xf0", 8);  // a request of 4294967280 bytes
    ASSERT_EQ(::send(fd, header.data(), header.size(), MSG_NOSIGNAL), 8);
    // The loop serves the socket; the reply is read until it is whole, then the end of the stream.
    FrameReader reader(kMaxReplyPayload);
    std::vector<Frame> replies;
    bool closed = false;
    for (int round = 0; round < 50 && !closed; round++) {
        mira::drain();
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0) continue;
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        closed = n == 0;
        reader.feed(buf, size_t(std::max<ssize_t>(n, 0)));
        for (Frame f; reader.next(&f) == FrameReader::Status::Ready;) replies.push_back(f);
    }
    EXPECT_TRUE(closed);
    ASSERT_EQ(replies.size(), 1u);
    Message m;
    std::string error;
    ASSERT_TRUE(parseMessage(replies[0].payload, &m, &error)) << error;
    EXPECT_EQ(m.get("status"), "error");
    EXPECT_NE(m.get("error").find("4294967280 bytes, more than the largest request of 65536"), std::string::npos)
        << m.get("error");
}

TEST(ControlFrame, HeaderIsTypeThenLengthBigEndianAndTheLengthIsBounded) {
    EXPECT_EQ(encodeFrame(kTypeReplyPart, "ab"), std::string("\0\0\x01\x01\0\0\0\x02" "ab", 10));
    // Fed byte by byte, the frame is whole only with its last byte.
    FrameReader reader(kMaxRequestPayload);
    Frame f;
    for (char c : encodeFrame(kTypeCm, "xyz")) {
        EXPECT_EQ(reader.next(&f), FrameReader::Status::NeedMore);
        reader.feed(&c, 1);
    }
    ASSERT_EQ(reader.next(&f), FrameReader::Status::Ready);
    EXPECT_EQ(f.type, uint32_t(kTypeCm));
    EXPECT_EQ(f.payload, "xyz");

    // The maximum is read; one byte over is refused and nothing of it is kept.
    std::string exact = encodeFrame(kTypeCm, std::string(kMaxRequestPayload, 'x'));
    reader.feed(exact.data(), exact.size());
    EXPECT_EQ(reader.next(&f), FrameReader::Status::Ready);
    EXPECT_EQ(f.payload.size(), kMaxRequestPayload);
    std::string big = encodeFrame(kTypeCm, std::string(kMaxRequestPayload + 1, 'x'));
    reader.feed(big.data(), big.size());
    EXPECT_EQ(reader.next(&f), FrameReader::Status::TooLarge);
    EXPECT_EQ(reader.buffered(), 0u);
}

TEST(ControlText, EscapesRoundTrip) {
    const std::string value = std::string("a b=c%d\n\x01\x7f") + "\xc3\xa9";
    std::string back;
    ASSERT_TRUE(unescapeValue(escapeValue(value, true), &back));
    EXPECT_EQ(back, value);
    EXPECT_EQ(escapeValue(value, true).find_first_of(" =\n"), std::string::npos);
    EXPECT_FALSE(unescapeValue("%4", &back));
    EXPECT_FALSE(unescapeValue("%00", &back)) << "a NUL would cut the value short";
}

}  // namespace
