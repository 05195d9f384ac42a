// Writes captured frames in the classic pcap format: a 24-byte global
// header, then per frame a 16-byte record header and the frame. All fields
// little-endian (magic d4 c3 b2 a1), microsecond timestamps.
#include "mira/sim/pcap.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "mira/core/loop.h"
#include "mira/sim/switch_model.h"

namespace mira::sw {

namespace {

constexpr uint32_t kSnapLength = 65535;
constexpr uint32_t kLinkTypeEthernet = 1;

struct Capture {
    std::FILE* file = nullptr;
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
    std::fwrite(record, 1, sizeof record, c->file);
    std::fwrite(frame, 1, kept, c->file);
    std::fflush(c->file);
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
    c->file = std::fopen(path.c_str(), "wb");
    if (!c->file) {
        if (error) *error = path + ": " + std::strerror(errno);
        return false;
    }
    uint8_t header[24] = {};
    sw::le32(header, 0xa1b2c3d4);
    sw::le16(header + 4, 2);
    sw::le16(header + 6, 4);
    sw::le32(header + 16, sw::kSnapLength);
    sw::le32(header + 20, sw::kLinkTypeEthernet);
    std::fwrite(header, 1, sizeof header, c->file);
    std::fflush(c->file);
    stopCapture();
    sw::gCapture = c.release();
    return true;
}

void stopCapture() {
    if (!sw::gCapture) return;
    std::fclose(sw::gCapture->file);
    delete sw::gCapture;
    sw::gCapture = nullptr;
}

bool captureRunning() { return sw::gCapture != nullptr; }

}  // namespace mira
