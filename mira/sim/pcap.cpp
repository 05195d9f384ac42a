// Writes captured frames in the classic pcap format: a 24-byte global
// header, then per frame a 16-byte record header and the frame. All fields
// little-endian (magic d4 c3 b2 a1), microsecond timestamps.
#include "mira/sim/pcap.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_set>

#include "mira/core/loop.h"
#include "mira/core/platform.h"
#include "mira/sim/switch_model.h"

namespace mira::sw {

namespace {

constexpr uint32_t kSnapLength = 65535;
constexpr uint32_t kLinkTypeEthernet = 1;

struct Capture {
    int fd = -1;
    std::string path;
    bool allPorts = true;
    std::unordered_set<uint32_t> ports;
};

Capture* gCapture = nullptr;

void le16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

}  // namespace

bool capturing() { return gCapture != nullptr; }

void captureFrame(uint32_t port, const uint8_t* frame, size_t length) {
    Capture* c = gCapture;
    if (!c || (!c->allPorts && !c->ports.count(port))) return;
    const int64_t now = wallUsec();
    const uint32_t kept = length < kSnapLength ? uint32_t(length) : kSnapLength;
    uint8_t record[16];
    le32(record, uint32_t(now / 1000000));
    le32(record + 4, uint32_t(now % 1000000));
    le32(record + 8, kept);
    le32(record + 12, uint32_t(length));
    iovec parts[2] = {{record, sizeof record}, {const_cast<uint8_t*>(frame), kept}};
    ssize_t n;
    do {
        n = ::writev(c->fd, parts, 2);
    } while (n < 0 && errno == EINTR);
    if (n == ssize_t(sizeof record + kept)) return;
    // A full disk, a pipe whose reader left or does not keep up: a record
    // cut short would spoil the rest of the file, so the capture ends here.
    logLine("WARNING", "capture",
            "capture to " + c->path + " stopped: " +
                (n < 0 ? std::string(std::strerror(errno)) : "a record could be written only in part"));
    stopCapture();
}

void resetCapture() { stopCapture(); }

}  // namespace mira::sw

namespace mira {

bool startCapture(const std::string& path, const std::vector<uint32_t>& ports, std::string* error) {
    auto c = std::make_unique<sw::Capture>();
    c->allPorts = ports.empty();
    for (uint32_t w : ports) {
        std::vector<sw::Port*> members;
        std::string why = sw::model().adminTargets(w, &members);
        if (!why.empty()) {
            if (error) *error = why;
            return false;
        }
        for (sw::Port* p : members) c->ports.insert(p->word);
    }
    // Never waits: a pipe without a reader is refused (ENXIO), not waited
    // for, and a pipe that is full later ends the capture.
    c->fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (c->fd < 0) {
        if (error) *error = path + ": " + (errno == ENXIO ? "a pipe that nobody reads" : std::strerror(errno));
        return false;
    }
    c->path = path;
    uint8_t header[24] = {};
    sw::le32(header, 0xa1b2c3d4);
    sw::le16(header + 4, 2);
    sw::le16(header + 6, 4);
    sw::le32(header + 16, sw::kSnapLength);
    sw::le32(header + 20, sw::kLinkTypeEthernet);
    if (::write(c->fd, header, sizeof header) != ssize_t(sizeof header)) {
        if (error) *error = path + ": " + std::strerror(errno);
        ::close(c->fd);
        return false;
    }
    stopCapture();
    sw::gCapture = c.release();
    return true;
}

void stopCapture() {
    if (!sw::gCapture) return;
    ::close(sw::gCapture->fd);
    delete sw::gCapture;
    sw::gCapture = nullptr;
}

bool captureRunning() { return sw::gCapture != nullptr; }

}  // namespace mira
