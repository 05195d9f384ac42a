// Client daemons cannot grow the registry without end: one connection gets
// at most 4094 services and all of them together 12282 (a full chassis
// watched by three); the excess is refused, in the log for a Register (which
// has no answer) and in the reply for an operator's request.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "support/coild_process.h"

namespace {

using coiltest::CoildProcess;

constexpr uint32_t kRegister = 1;

// n Registers of clients prefix0, prefix1, ... on VLAN blue, in one write.
bool registerMany(int fd, const std::string& prefix, int n) {
    std::vector<uint8_t> frames;
    for (int i = 0; i < n; i++) {
        const auto frame = coiltest::streamFrame(coiltest::clientMessage(prefix + std::to_string(i), 5, kRegister));
        frames.insert(frames.end(), frame.begin(), frame.end());
    }
    return coiltest::sendAll(fd, frames.data(), frames.size());
}

TEST(ServiceLimits, OneClientDaemonAndAllOfThemAreBounded) {
    CoildProcess coild;
    ASSERT_TRUE(coild.start()) << coild.errors();
    ASSERT_TRUE(coiltest::within(5, [&] { return !coild.messageSocket().empty(); }));
    auto services = [&](int n) {
        return coiltest::within(20, [&] {
            return coild.ctl({"show"}).out.find("services               " + std::to_string(n) + "\n") != std::string::npos;
        });
    };
    const auto began = std::chrono::steady_clock::now();
    std::vector<int> daemons;
    for (const char* prefix : {"a", "b", "c"}) {
        daemons.push_back(CoildProcess::connectTo(coild.messageSocket()));
        ASSERT_GE(daemons.back(), 0);
        ASSERT_TRUE(registerMany(daemons.back(), prefix, 4095));  // one too many each
    }
    ASSERT_TRUE(services(3 * 4094)) << coild.ctl({"show"}).out;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_NE(coild.log().find("Register of \"a4094\" on VLAN instance 5 refused: a client daemon may have at most "
                               "4094 services (1 refused so far)"),
              std::string::npos)
        << coild.log();

    const int late = CoildProcess::connectTo(coild.messageSocket());
    ASSERT_TRUE(registerMany(late, "d", 1));
    EXPECT_TRUE(coiltest::within(5, [&] {
        return coild.log().find("Register of \"d0\" on VLAN instance 5 refused: client daemons may have at most "
                                "12282 services in all") != std::string::npos;
    })) << coild.log();
    const coiltest::Outcome set = coild.ctl({"set", "coilServiceNode", "clientIdentifier=e", "vlanIfInstance=5",
                                             "vlan=blue", "rowStatus=createAndGo"});
    EXPECT_EQ(set.status, 1);
    EXPECT_NE(set.err.find("ERROR: client daemons may have at most 12282 services in all; no service for \"e:blue\" "
                           "created!"),
              std::string::npos)
        << set.out << set.err;
    std::printf("[ figures  ] 3 x 4095 Registers, 12282 services: %.2f s; RSS %ld kB\n", seconds, coild.rssKiB());

    // Room again once a client daemon is gone.
    ::close(daemons[0]);
    ASSERT_TRUE(services(2 * 4094));
    ASSERT_TRUE(registerMany(late, "d", 1));
    EXPECT_TRUE(services(2 * 4094 + 1));
    ::close(late);
    for (size_t i = 1; i < daemons.size(); i++) ::close(daemons[i]);
    EXPECT_EQ(coild.terminate(), 0);
}

}  // namespace
