// coild --linux on real bridges, each test in a network namespace of its
// own (made with unshare(CLONE_NEWNET), so it needs root): veth pairs, a
// bridge with ports, loops made by a veth pair between two ports or through
// a second bridge acting as an outside switch. IPv6 is off and the loop is
// closed last, so interface chatter does not circulate on it. Assertions go
// through coilctl, the event log and the kernel's own view (bridge link).
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "kypkt.h"
#include "mira/linux/linux_switch.h"
#include "support/coild_process.h"

namespace {

using coiltest::CoildProcess;
using coiltest::within;

// The output of a shell command.
std::string sh(const std::string& command) {
    std::string out;
    if (FILE* f = ::popen((command + " 2>&1").c_str(), "r")) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, f)) out += buf;
        ::pclose(f);
    }
    return out;
}

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// "forwarding", "disabled", ... as `bridge link` shows the port.
std::string portState(const std::string& port) {
    const std::string line = sh("bridge link show dev " + port);
    const size_t at = line.find(" state ");
    if (at == std::string::npos) return "";
    const size_t end = line.find(' ', at + 7);
    return line.substr(at + 7, end - at - 7);
}

// The one of p1 and p2 the kernel shows disabled, or "".
std::string disabledPort() {
    for (const char* p : {"p1", "p2"})
        if (portState(p) == "disabled") return p;
    return "";
}

// br0 with ports p1..p3, each the end of a veth pair whose other end hN is up.
class LinuxBridge : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root: each test makes its own network namespace";
        if (::unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "cannot make a network namespace (unshare -n not permitted)";
        if (!run("command -v ip && command -v bridge")) GTEST_SKIP() << "iproute2 (ip, bridge) is not installed";
        ASSERT_TRUE(run("sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 && "
                        "ip link set lo up && ip link add br0 type bridge && ip link set br0 up"));
        for (const char* i : {"1", "2", "3"})
            ASSERT_TRUE(run(std::string("ip link add p") + i + " type veth peer name h" + i + " && ip link set p" + i +
                            " master br0 && ip link set p" + i + " up && ip link set h" + i + " up"));
    }

    bool startCoild(CoildProcess& d, std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), {"--linux", "--bridge", "br0"});
        return d.start("", extra) && d.ctl({"enable"}).status == 0;
    }

    // h1 and h2 joined by an outside bridge: p1 and p2 see each other's frames.
    static void closeLoopThroughOutside() {
        ASSERT_TRUE(run("ip link add out type bridge && ip link set h1 master out && ip link set out up"));
        ::usleep(1'000'000);  // the outside bridge's own chatter has gone out before the loop closes
        ASSERT_TRUE(run("ip link set h2 master out"));
    }
};

TEST_F(LinuxBridge, ALoopThroughAnOutsideSwitchIsCutHeldThroughALinkFlapAndCutAgainAndSigtermRestores) {
    CoildProcess d;
    ASSERT_TRUE(startCoild(d)) << d.errors();
    ASSERT_EQ(d.ctl({"configure", "br0", "interval", "1", "disable-port", "4"}).status, 0);
    const std::string capture = d.base + "/p3.txt";
    const bool tcpdump = run("command -v tcpdump");
    if (tcpdump) run("timeout 3 tcpdump -i p3 -c 1 -nn -e ether proto 0x8100 > " + capture + " &");
    closeLoopThroughOutside();

    // Within one interval (and a little): found, and the ingress port disabled in the kernel.
    std::string cut;
    ASSERT_TRUE(within(3, [&] { return !(cut = disabledPort()).empty(); })) << d.log();
    EXPECT_NE(d.log().find("LOOP DETECTED"), std::string::npos);
    EXPECT_NE(d.ctl({"show", "disabled-ports"}).out.find(cut), std::string::npos) << "named by its interface";
    EXPECT_EQ(portState("p3"), "forwarding");
    EXPECT_NE(sh("bridge mdb show dev br0").find("permanent"), std::string::npos);
    if (tcpdump) {
        EXPECT_NE(coiltest::readFile(capture).find("vlan 0"), std::string::npos) << "a priority-tagged probe on p3";
    }

    // The kernel forwards again on a port whose carrier comes back (its
    // link events may wait up to a second): the cut holds.
    const std::string peer = "h" + cut.substr(1);
    ASSERT_TRUE(run("ip link set " + peer + " down && ip link set " + peer + " up"));
    EXPECT_TRUE(within(3, [&] { return d.log().find(cut + " went to forwarding") != std::string::npos; })) << d.log();
    EXPECT_TRUE(within(1, [&] { return portState(cut) == "disabled"; }));

    // The hold timer enables it again; the loop is still there, so it is cut again.
    ASSERT_TRUE(within(10, [&] { return coiltest::countOf(d.log(), "Disabling port") >= 2; })) << d.log();

    ASSERT_EQ(d.terminate(), 0);
    for (const char* p : {"p1", "p2", "p3"}) EXPECT_EQ(portState(p), "forwarding") << p;
    EXPECT_EQ(sh("bridge mdb show dev br0").find("permanent"), std::string::npos) << "the probe's entry removed";
}

TEST_F(LinuxBridge, AVethPairBetweenTwoPortsIsALoopAndTheLinkCanBeCutInstead) {
    CoildProcess d;
    ASSERT_TRUE(startCoild(d, {"--cut-link"})) << d.errors();
    ASSERT_EQ(d.ctl({"configure", "br0", "interval", "1", "disable-port", "permanent"}).status, 0);
    ASSERT_TRUE(run("ip link add la type veth peer name lb && ip link set la master br0 && ip link set lb master br0 "
                    "&& ip link set la up"));
    ::usleep(500'000);
    ASSERT_TRUE(run("ip link set lb up"));
    ASSERT_TRUE(within(4, [] { return sh("ip link show la").find("state DOWN") != std::string::npos ||
                                      sh("ip link show lb").find(",UP") == std::string::npos; }))
        << d.log();
    EXPECT_NE(d.log().find("LOOP DETECTED"), std::string::npos);
    ASSERT_EQ(d.terminate(), 0);
    EXPECT_NE(sh("ip link show lb").find(",UP"), std::string::npos) << "the link it took down is up again";
    EXPECT_NE(sh("ip link show la").find(",UP"), std::string::npos);
}

TEST_F(LinuxBridge, TheProbesEntryIsKeptAndPortsLeavingLinksGoingDownAndTheBridgeDeletedReachTheServices) {
    CoildProcess d;
    ASSERT_TRUE(startCoild(d, {"--trace"})) << d.errors();
    ASSERT_EQ(d.ctl({"configure", "br0", "interval", "1", "ports", "p1,p2,p3"}).status, 0);
    EXPECT_NE(d.ctl({"show", "services"}).out.find("p1,p2,p3"), std::string::npos);

    // The probe's multicast entry, deleted by someone else, is added again.
    // (The kernel's deletion leaves the group to a timer that may take the
    // first re-addition away too, with a second notice.)
    const std::string entry = sh("bridge mdb show dev br0");
    const size_t grp = entry.find(" grp ");
    ASSERT_NE(grp, std::string::npos) << entry;
    ASSERT_TRUE(run("bridge mdb del dev br0 port br0 grp " + entry.substr(grp + 5, 17) + " permanent"));
    ASSERT_TRUE(within(3, [&] { return d.log().find("multicast entry on bridge br0 was removed") != std::string::npos; }));
    EXPECT_TRUE(within(3, [&] { return sh("bridge mdb show dev br0") == entry; })) << d.log();

    ASSERT_TRUE(run("ip link set p3 nomaster"));
    ASSERT_TRUE(within(3, [&] { return d.ctl({"show", "services"}).out.find("p1,p2 ") != std::string::npos; }))
        << d.ctl({"show", "services"}).out;
    ASSERT_TRUE(run("ip link set h2 down"));
    ASSERT_TRUE(within(3, [&] { return d.log().find("Not sending vlan:br0") != std::string::npos; })) << d.log();
    ASSERT_TRUE(run("ip link del br0"));
    ASSERT_TRUE(within(3, [&] { return d.ctl({"show", "services"}).out.find("no services") != std::string::npos; }));
    EXPECT_EQ(d.ctl({"lab", "cable", "1:1", "1:2"}).status, 1);
    EXPECT_NE(d.ctl({"lab", "cable", "1:1", "1:2"}).err.find("only the simulated switch"), std::string::npos);
    EXPECT_EQ(d.terminate(), 0);
}

// Frames offered by the receive sockets reach the packet descriptor in
// order, each once, and only those for a filter's address.
TEST_F(LinuxBridge, FramesAreReadInOrderOnceEach) {
    mira::lnx::LinuxSwitch backend(mira::lnx::LinuxOptions{{{"br0", 0}}, false, true});
    std::string error;
    ASSERT_TRUE(backend.start(&error)) << error;
    const int fd = backend.openKypkt();
    kypktFilterSpec_t spec{};
    spec.addrLength = 6;
    const uint8_t da[6] = {0x03, 0, 0, 0xc0, 0x11, 0x01};
    std::copy(da, da + 6, spec.addr);
    ASSERT_EQ(backend.attachKypktFilter(fd, &spec), 0);
    std::vector<uint8_t> frame(62, 0);  // the backend matches the address and the tag it is given
    std::copy(da, da + 6, frame.begin());
    const int p1 = int(if_nametoindex("p1"));
    for (uint8_t mark : {1, 2}) {
        frame[61] = mark;
        backend.offerFrame(p1, frame.data(), frame.size(), 0xE000);
    }
    frame[5] = 0x02;  // another address: no filter
    backend.offerFrame(p1, frame.data(), frame.size(), 0xE000);

    uint8_t got[128];
    uint32_t length = 0, instance = 0, info = 0;
    uint16_t pif[2], lif[2];
    for (uint8_t mark : {1, 2}) {
        ASSERT_EQ(backend.recvKypkt(fd, got, sizeof got, &length, &instance, &info, pif, lif, 0, 0), 62);
        EXPECT_EQ(got[61], mark);
    }
    EXPECT_LT(backend.recvKypkt(fd, got, sizeof got, &length, &instance, &info, pif, lif, 0, 0), 0);
    EXPECT_EQ(errno, EAGAIN);
}

// A batch goes out after the daemon's send calls have returned: the
// sockets remember which interfaces refused their last frame, and why.
TEST_F(LinuxBridge, BatchedSendsKeepWhichInterfacesRefuseThem) {
    mira::lnx::ProbeSockets probes;
    std::string error;
    ASSERT_TRUE(probes.openSender(&error)) << error;
    const int p1 = int(if_nametoindex("p1")), p3 = int(if_nametoindex("p3"));
    std::vector<uint8_t> frame(60, 0);
    frame[0] = 0x01;
    ASSERT_TRUE(run("ip link set p3 down"));
    for (int ifindex : {p1, p3, p1}) probes.queue(ifindex, frame.data(), frame.size());
    EXPECT_EQ(probes.flush(), 2u) << "the frame after the refused one goes out too";
    EXPECT_EQ(probes.failing(), (std::map<int, int>{{p3, ENETDOWN}}));
    ASSERT_TRUE(run("ip link set p3 up"));
    probes.queue(p3, frame.data(), frame.size());
    EXPECT_EQ(probes.flush(), 1u);
    EXPECT_TRUE(probes.failing().empty());
}

// On a shared kernel the backup inherits the primary's cut: it knows the
// disabled port, and after the primary dies it enables it when the hold
// time is over and cuts the loop again itself.
TEST_F(LinuxBridge, TheBackupOfAPairTakesOverProbingAndTheHoldTimer) {
    CoildProcess primary, backup;
    const std::string peers = primary.base + "/peers";
    ASSERT_TRUE(run("mkdir -p " + peers));
    ASSERT_TRUE(startCoild(primary, {"--role", "primary", "--peer-dir", peers})) << primary.errors();
    ASSERT_TRUE(startCoild(backup, {"--role", "backup", "--peer-dir", peers})) << backup.errors();
    ASSERT_EQ(backup.ctl({"configure", "br0", "interval", "1", "disable-port", "4"}).status, 0);
    ASSERT_EQ(primary.ctl({"configure", "br0", "interval", "1", "disable-port", "4"}).status, 0);
    closeLoopThroughOutside();
    std::string cut;
    ASSERT_TRUE(within(3, [&] { return !(cut = disabledPort()).empty(); })) << primary.log();
    ASSERT_TRUE(within(3, [&] { return backup.ctl({"show", "disabled-ports"}).out.find(cut) != std::string::npos; }));
    primary.kill();
    ASSERT_TRUE(within(8, [&] { return coiltest::countOf(backup.log(), "Disabling port") >= 1; })) << backup.log();
    EXPECT_EQ(backup.terminate(), 0);
    for (const char* p : {"p1", "p2"}) EXPECT_EQ(portState(p), "forwarding") << p;
}

}  // namespace
