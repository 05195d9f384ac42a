// The Linux backend's packet path through the real kernel, in a network
// namespace of its own (needs root; skipped otherwise):
// - receive: probes sent into a veth pair whose far end is a port of a
//   watched bridge, read by the backend (batched reads, the probe filter,
//   the tag put back, the daemon's filter match, the descriptor's queue) and
//   handed out by recvKypkt; against the kernel's own hand-over of the same
//   frames on an unwatched veth pair (the same socket setup, batched reads,
//   nothing done with the frames). Both include the sends that feed them.
// - a tick's sends: one copy for each of 16 ports and 8 services (128
//   frames), one sendto each against sendmmsg batches.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "kypkt.h"
#include "mira/linux/linux_switch.h"

namespace {

using mira::lnx::LinuxSwitch;
using mira::lnx::ProbeSockets;

constexpr int kPorts = 16;
constexpr int kFramesPerBatch = 256;

bool sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

struct Lab {
    bool ok = false;
    std::string why;
    std::unique_ptr<LinuxSwitch> backend;
    ProbeSockets sender, plain;
    int fd = -1, plainFd = -1, plainIf = 0, plainTxIf = 0;
    std::vector<int> portIfs;
    int feedIf = 0;
    std::vector<uint8_t> probe;
};

// A probe as the daemon builds it: tag 0xE000, LLC/SNAP 0A-5C-33 0x00BB.
std::vector<uint8_t> probeFrame(const uint8_t da[6]) {
    std::vector<uint8_t> f(62, 0);
    std::copy(da, da + 6, f.begin());
    const uint8_t rest[] = {0x02, 0, 0, 0, 0, 1, 0x81, 0x00, 0xE0, 0x00, 0x00, 0x2c,
                            0xAA, 0xAA, 0x03, 0x0A, 0x5C, 0x33, 0x00, 0xBB};
    std::copy(std::begin(rest), std::end(rest), f.begin() + 6);
    return f;
}

void setUp(Lab& s) {
    {
        if (geteuid() != 0 || ::unshare(CLONE_NEWNET) != 0) {
            s.why = "needs root to make a network namespace";
            return;
        }
        std::string cmd = "ip link add br0 type bridge && ip link set br0 up && ip link add feed type veth peer name "
                          "in0 && ip link set in0 master br0 && ip link set in0 up && ip link set feed up && ip link "
                          "add plain type veth peer name plainrx && ip link set plain up && ip link set plainrx up";
        for (int i = 0; i < kPorts; ++i) {
            const std::string n = std::to_string(i);
            cmd += " && ip link add tx" + n + " type veth peer name far" + n + " && ip link set tx" + n +
                   " up && ip link set far" + n + " up";
        }
        if (!sh("sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1") || !sh(cmd)) {
            s.why = "cannot build the veth pairs (iproute2 missing?)";
            return;
        }
        std::string error;
        s.backend = std::make_unique<LinuxSwitch>(mira::lnx::LinuxOptions{{{"br0", 0}}, false, true});
        if (!s.backend->start(&error) || !s.sender.openSender(&error) || !s.plain.openSender(&error)) {
            s.why = error;
            return;
        }
        s.feedIf = s.backend->view().linkByName("feed")->ifindex;
        s.plainIf = s.backend->view().linkByName("plainrx")->ifindex;
        s.plainTxIf = s.backend->view().linkByName("plain")->ifindex;
        for (int i = 0; i < kPorts; ++i) s.portIfs.push_back(s.backend->view().linkByName("tx" + std::to_string(i))->ifindex);
        s.plainFd = s.plain.openReceiver(s.plainIf, &error);
        s.fd = s.backend->openKypkt();
        const uint8_t da[6] = {0x03, 0, 0, 0xc0, 0x11, 0x01};
        kypktFilterSpec_t spec{};
        spec.addrLength = 6;
        std::copy(da, da + 6, spec.addr);
        if (s.plainFd < 0 || s.fd < 0 || s.backend->attachKypktFilter(s.fd, &spec) != 0) {
            s.why = "cannot open the receive sockets: " + error;
            return;
        }
        s.probe = probeFrame(da);
        s.ok = true;
    }
}

// Never destroyed: the backend's sockets go with the process, after the
// loop it registered them with is gone.
Lab& lab() {
    static Lab& l = *new Lab;
    static const bool ready = (setUp(l), true);
    (void)ready;
    return l;
}

void feed(ProbeSockets& sender, int ifindex, const std::vector<uint8_t>& frame) {
    for (int i = 0; i < kFramesPerBatch; ++i) sender.queue(ifindex, frame.data(), frame.size());
    sender.flush();
}

void BM_LinuxReceivePath(benchmark::State& state) {
    Lab& l = lab();
    if (!l.ok) return state.SkipWithError(l.why.c_str());
    uint8_t frame[64];
    uint32_t scratch, instance, info;
    uint16_t pif[2], lif[2];
    int64_t received = 0;
    for (auto _ : state) {
        feed(l.sender, l.feedIf, l.probe);
        l.backend->pollReceivers();
        while (l.backend->recvKypkt(l.fd, frame, sizeof frame, &scratch, &instance, &info, pif, lif, 0, 0) > 0)
            ++received;
    }
    state.SetItemsProcessed(received);
}
BENCHMARK(BM_LinuxReceivePath);

void BM_KernelHandOver(benchmark::State& state) {
    Lab& l = lab();
    if (!l.ok) return state.SkipWithError(l.why.c_str());
    int64_t received = 0;
    for (auto _ : state) {
        feed(l.plain, l.plainTxIf, l.probe);
        received += int64_t(l.plain.receive(l.plainFd, l.plainIf, [](int, const uint8_t*, size_t, int) {}));
    }
    state.SetItemsProcessed(received);
}
BENCHMARK(BM_KernelHandOver);

void tickSends(benchmark::State& state, bool batched) {
    Lab& l = lab();
    if (!l.ok) return state.SkipWithError(l.why.c_str());
    constexpr int kServices = 8;
    for (auto _ : state) {
        for (int s = 0; s < kServices; ++s)
            for (int ifindex : l.portIfs) {
                if (batched)
                    l.sender.queue(ifindex, l.probe.data(), l.probe.size());
                else
                    l.sender.sendNow(ifindex, l.probe.data(), l.probe.size());
            }
        if (batched) l.sender.flush();
    }
    state.SetItemsProcessed(state.iterations() * kServices * kPorts);
}

void BM_TickSendsSingle(benchmark::State& state) { tickSends(state, false); }
void BM_TickSendsBatched(benchmark::State& state) { tickSends(state, true); }
BENCHMARK(BM_TickSendsSingle);
BENCHMARK(BM_TickSendsBatched);

}  // namespace
