// The control socket's framing as a client sees it: replies to oversized,
// truncated, stalled and garbage requests, several requests on one
// connection, and who may connect.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "mira/control/control_frame.h"
#include "mira/control/control_message.h"
#include "mira/core/control_server.h"
#include "mira/control/control_text.h"
#include "mira/core/loop.h"
#include "support/harness.h"

namespace {

using namespace mira::control;

class ControlSocket : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/coil-control-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        std::string error;
        ASSERT_TRUE(startControlServer(dir, &error)) << error;
    }
    void TearDown() override {
        for (int fd : open) ::close(fd);
        stopControlServer();
        ::rmdir(dir.c_str());
    }

    int connectClient() {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const std::string path = controlSocketPath(dir);
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        open.push_back(fd);
        return fd;
    }
    static void sendBytes(int fd, const std::string& bytes) {
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }
    // Lets the loop serve the socket, then reads what came back until the
    // reply frames are whole (or nothing more arrives).
    std::vector<Frame> replies(int fd, size_t want = 1) {
        FrameReader reader(kMaxReplyPayload);
        std::vector<Frame> out;
        for (int round = 0; round < 50 && out.size() < want; round++) {
            mira::drain();
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0) continue;
            char buf[65536];
            ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0) break;
            reader.feed(buf, size_t(n));
            for (Frame f; reader.next(&f) == FrameReader::Status::Ready;) out.push_back(f);
        }
        return out;
    }
    static Message fields(const Frame& f) {
        Message m;
        std::string error;
        EXPECT_TRUE(parseMessage(f.payload, &m, &error)) << error;
        return m;
    }
    // True when the server has closed the connection.
    bool closedByServer(int fd) {
        mira::drain();
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) return false;
        char c;
        return ::recv(fd, &c, 1, MSG_DONTWAIT) == 0;
    }
    static std::string header(uint32_t type, uint32_t length) {
        std::string h = encodeFrame(type, "");
        h[4] = char(length >> 24), h[5] = char(length >> 16), h[6] = char(length >> 8), h[7] = char(length);
        return h;
    }
    static std::string showRequest() {
        return encodeFrame(kTypeCm, "method=get\nobject=coilGlobalCfg\nflag=exact\n");
    }

    coiltest::Harness h;
    std::string dir;
    std::vector<int> open;
};

TEST_F(ControlSocket, SocketIsOwnerOnlyAndASecondServerIsRefused) {
    struct stat st {};
    ASSERT_EQ(::stat(controlSocketPath(dir).c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A directory whose socket answers belongs to another daemon.
    char tmpl[] = "/tmp/coil-control-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string other = tmpl;
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = controlSocketPath(other);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    std::string error;
    EXPECT_FALSE(startControlServer(other, &error));
    EXPECT_EQ(error, "another coild serves " + path);
    ::close(listener);
    // A socket file nobody answers on is left over from a daemon that died.
    EXPECT_TRUE(startControlServer(other, &error)) << error;
    stopControlServer();
    EXPECT_NE(::access(path.c_str(), F_OK), 0) << "the socket file is removed on stop";
    ::rmdir(other.c_str());
    ASSERT_TRUE(startControlServer(dir, &error)) << error;
}

TEST_F(ControlSocket, OversizedHeaderIsRefusedWithoutWaitingForItsPayload) {
    int fd = connectClient();
    sendBytes(fd, header(kTypeCm, 0xFFFFFFF0u));
    auto r = replies(fd);
    ASSERT_EQ(r.size(), 1u);
    Message m = fields(r[0]);
    EXPECT_EQ(m.get("status"), "error");
    EXPECT_NE(m.get("error").find("4294967280 bytes, more than the largest request of 65536"), std::string::npos)
        << m.get("error");
    EXPECT_TRUE(closedByServer(fd));

    // One byte over the maximum is refused too; the maximum itself is read.
    FrameReader reader(kMaxRequestPayload);
    std::string big = header(kTypeCm, kMaxRequestPayload + 1);
    reader.feed(big.data(), big.size());
    Frame f;
    EXPECT_EQ(reader.next(&f), FrameReader::Status::TooLarge);
    EXPECT_EQ(reader.buffered(), 0u);
    FrameReader fits(kMaxRequestPayload);
    std::string exact = encodeFrame(kTypeCm, std::string(kMaxRequestPayload, 'x'));
    fits.feed(exact.data(), exact.size());
    EXPECT_EQ(fits.next(&f), FrameReader::Status::Ready);
    EXPECT_EQ(f.payload.size(), kMaxRequestPayload);
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
