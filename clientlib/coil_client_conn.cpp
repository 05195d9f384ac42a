// The connection to coild's message server: a Unix stream socket whose
// messages are frames of a 32-bit big-endian length and that many bytes.
// coild publishes the server's port as <run-dir>/coil_server.port and
// listens on <run-dir>/ipml-PORT.sock.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "coil_client.h"

namespace {

constexpr size_t kFrameHeader = 4;
constexpr uint32_t kMaxMessage = 4096;  // the server's bound: larger frames are refused
constexpr int kSendTimeoutMs = 5000;    // a server that reads nothing for this long is given up

void setError(char* error, size_t size, const std::string& text) {
    if (error != nullptr && size > 0) std::snprintf(error, size, "%s", text.c_str());
}

int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

}  // namespace

struct coilClient {
    int fd = -1;
    uint16_t firstSlot = 1;
    bool ended = false;  // closed by the server, broken, or refused a frame
    std::string error;
    uint8_t in[kFrameHeader + kMaxMessage];
    size_t inLen = 0;

    int fail(const std::string& text) {
        error = text;
        return -1;
    }
    int end(const std::string& text) {
        ended = true;
        return fail(text);
    }
    int sendAll(const uint8_t* data, size_t size);
    // 1: a frame's body is at *body (valid until the next read); 0: none whole yet; -1: oversized.
    int cut(const uint8_t** body, uint32_t* length);
    void consume(size_t used) {
        std::memmove(in, in + used, inLen - used);
        inLen -= used;
    }
};

int coilClient::sendAll(const uint8_t* data, size_t size) {
    if (ended) return fail(error.empty() ? "the connection has ended" : error);
    size_t sent = 0;
    while (sent < size) {
        ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, kSendTimeoutMs) > 0) continue;
            return end("coild does not read its messages");
        }
        return end(std::string("cannot send to coild: ") + std::strerror(errno));
    }
    return 0;
}

int coilClient::cut(const uint8_t** body, uint32_t* length) {
    if (inLen < kFrameHeader) return 0;
    const uint32_t n = uint32_t(in[0]) << 24 | uint32_t(in[1]) << 16 | uint32_t(in[2]) << 8 | in[3];
    if (n > kMaxMessage) return -1;
    if (inLen < kFrameHeader + n) return 0;
    *body = in + kFrameHeader;
    *length = n;
    return 1;
}

extern "C" {

void coilClientDefaultRunDir(char* out, size_t size) {
    if (out == nullptr || size == 0) return;
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (::geteuid() == 0)
        std::snprintf(out, size, "/run/coil");
    else if (xdg != nullptr && *xdg != '\0')
        std::snprintf(out, size, "%s/coil", xdg);
    else
        std::snprintf(out, size, "/tmp/coil-%u", unsigned(::getuid()));
}

coilClient* coilClientConnectSocket(const char* socketPath, char* error, size_t errorSize) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t length = socketPath != nullptr ? std::strlen(socketPath) : 0;
    if (length == 0 || length >= sizeof addr.sun_path) {
        setError(error, errorSize, "bad socket path");
        return nullptr;
    }
    std::memcpy(addr.sun_path, socketPath, length + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        setError(error, errorSize,
                 std::string("cannot reach coild at ") + socketPath + ": " + std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    auto* client = new coilClient;
    client->fd = fd;
    return client;
}

coilClient* coilClientConnect(const char* runDir, char* error, size_t errorSize) {
    char dir[512];
    if (runDir == nullptr || *runDir == '\0')
        coilClientDefaultRunDir(dir, sizeof dir);
    else
        std::snprintf(dir, sizeof dir, "%s", runDir);
    const std::string record = std::string(dir) + "/coil_server.port";
    FILE* f = std::fopen(record.c_str(), "r");
    char line[8] = {};
    const bool got = f != nullptr && std::fgets(line, sizeof line, f) != nullptr;
    if (f != nullptr) std::fclose(f);
    // One decimal port number and a newline.
    char* end = nullptr;
    const unsigned long port = got && line[0] >= '0' && line[0] <= '9' ? std::strtoul(line, &end, 10) : 0;
    const bool read = end != nullptr && end[0] == '\n' && end[1] == '\0' && port > 0 && port <= 0xffff;
    if (!read) {
        setError(error, errorSize,
                 "no message server published in " + std::string(dir) + " (is coild running there?)");
        return nullptr;
    }
    const std::string path = std::string(dir) + "/ipml-" + std::to_string(port) + ".sock";
    return coilClientConnectSocket(path.c_str(), error, errorSize);
}

void coilClientClose(coilClient* client) {
    if (client == nullptr) return;
    if (client->fd >= 0) ::close(client->fd);
    delete client;
}

int coilClientFd(const coilClient* client) { return client != nullptr ? client->fd : -1; }

const char* coilClientError(const coilClient* client) { return client != nullptr ? client->error.c_str() : ""; }

void coilClientSetFirstSlot(coilClient* client, uint16_t firstSlot) {
    if (client != nullptr) client->firstSlot = firstSlot;
}

int coilClientSend(coilClient* client, const coilClientMessage* msg) {
    if (client == nullptr || msg == nullptr) return -1;
    uint8_t frame[kFrameHeader + COIL_CLIENT_MESSAGE_SIZE] = {0, 0, COIL_CLIENT_MESSAGE_SIZE >> 8,
                                                               COIL_CLIENT_MESSAGE_SIZE & 0xff};
    coilClientEncode(msg, frame + kFrameHeader);
    return client->sendAll(frame, sizeof frame);
}

static int request(coilClient* client, uint32_t msgType, const char* clientId, uint32_t vlanIfInstance,
                   const coilClientPort* ports, size_t numPorts, uint32_t count, uint32_t interval) {
    if (client == nullptr) return -1;
    coilClientMessage msg;
    char error[128];
    if (coilClientBuildRequest(&msg, msgType, clientId, vlanIfInstance, ports, numPorts, client->firstSlot, count,
                               interval, error, sizeof error) != 0)
        return client->fail(error);
    return coilClientSend(client, &msg);
}

int coilClientRegister(coilClient* client, const char* clientId, uint32_t vlanIfInstance,
                       const coilClientPort* ports, size_t numPorts) {
    return request(client, COIL_CLIENT_REGISTER, clientId, vlanIfInstance, ports, numPorts, 0, 0);
}

int coilClientStartPoll(coilClient* client, const char* clientId, uint32_t vlanIfInstance, uint32_t count,
                        uint32_t interval, const coilClientPort* ports, size_t numPorts) {
    return request(client, COIL_CLIENT_START_POLL, clientId, vlanIfInstance, ports, numPorts, count, interval);
}

int coilClientStopPoll(coilClient* client, const char* clientId, uint32_t vlanIfInstance) {
    return request(client, COIL_CLIENT_STOP_POLL, clientId, vlanIfInstance, nullptr, 0, 0, 0);
}

int coilClientDeregister(coilClient* client, const char* clientId, uint32_t vlanIfInstance) {
    return request(client, COIL_CLIENT_DEREGISTER, clientId, vlanIfInstance, nullptr, 0, 0, 0);
}

int coilClientReceive(coilClient* client, coilClientReport* report, int timeoutMs) {
    if (client == nullptr || report == nullptr) return -1;
    const int64_t deadline = timeoutMs > 0 ? nowMs() + timeoutMs : 0;
    for (;;) {
        const uint8_t* body = nullptr;
        uint32_t length = 0;
        int whole;
        while ((whole = client->cut(&body, &length)) == 1) {
            coilClientMessage msg;
            const bool isReport = coilClientDecode(body, length, &msg) == 0 && coilClientReportFrom(&msg, report) == 0;
            client->consume(kFrameHeader + length);
            if (isReport) return 1;
        }
        if (whole < 0) return client->end("coild sent a frame larger than any message");
        if (client->ended) return -1;

        ssize_t n = ::recv(client->fd, client->in + client->inLen, sizeof client->in - client->inLen, MSG_DONTWAIT);
        if (n > 0) {
            client->inLen += size_t(n);
            continue;
        }
        if (n == 0) return client->end("coild closed the connection");
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return client->end(std::string("cannot read from coild: ") + std::strerror(errno));
        if (timeoutMs == 0) return 0;
        int wait = -1;
        if (timeoutMs > 0) {
            const int64_t left = deadline - nowMs();
            if (left <= 0) return 0;
            wait = int(left);
        }
        pollfd p{client->fd, POLLIN, 0};
        if (::poll(&p, 1, wait) == 0) return 0;
    }
}

}  // extern "C"
