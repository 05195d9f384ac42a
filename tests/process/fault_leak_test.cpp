// Ten thousand cycles of creating and removing services and disabled ports
// leave the heap as they found it. Half the cycles are an operator's service
// whose probe comes back through a cable and disables a port, then removed
// by the operator (which enables the port); the other half a client daemon's
// service, registered and started through the message server, that finds
// the loop, reports it to a peer that is not there, and dies with its peer. Under the sanitizer build
// LeakSanitizer checks as well (and again at exit).
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdio>
#include <vector>

#include "clients/coil_client_msg.h"
#include "clients/coil_server.h"
#include "engine/coil.h"
#include "mira/core/platform.h"
#include "mira/sim/switch.h"
#include "support/coild_process.h"
#include "support/harness.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define COIL_UNDER_ASAN 1
// The sanitizer runtime's count of bytes in use (not declared in every
// compiler's headers).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

namespace {

using coiltest::port;

size_t heapInUse() {
#ifdef COIL_UNDER_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

class Cycles : public testing::Test {
  protected:
    Cycles() {
        mira::logDiscard();
        mira::setConditionEnabled("trace", "*", true);
        EXPECT_TRUE(mira::cablePorts(port(1, 1), port(1, 2)));  // blue loops
        mira::drain();
    }

    int disabledPorts() {
        int n = 0;
        for (coilPortControl* pc = coilPortControlGetFirst(); pc != nullptr; pc = coilPortControlGetNext(pc)) n++;
        return n;
    }

    // One cycle; false when it did not go as planned.
    bool cycle(uint32_t i) {
        const uint32_t peer = 1000 + i;
        if (i % 2 == 0) {
            if (h.configure("blue", {{"interval", "1"}, {"disablePort", "1"}, {"disablePortDuration", "60"}}).result != 1)
                return false;
        } else {
            mira::injectPeerEvent(gCoilServerPort, IPML_PEER_NEW, peer);
            mira::injectServerMessage(gCoilServerPort, peer, coiltest::clientMessage("cycler", 100, COIL_MSG_REGISTER));
            mira::injectServerMessage(gCoilServerPort, peer, coiltest::clientMessage("cycler", 100, COIL_MSG_START_POLL));
        }
        // The probe comes back at once; the wait time keeps a port of the
        // VLAN from being disabled within 2 seconds of the last one.
        h.advance(3);
        // A client daemon's service stops at its loop and leaves the ports
        // to its client.
        const bool found = coilGlobal.coilClients == 1 && disabledPorts() == (i % 2 == 0 ? 1 : 0) &&
                           (i % 2 == 0 || h.logHas("LOOP DETECTED [cycler:blue]"));
        if (i % 2 == 0)
            h.unconfigure("blue");
        else
            mira::injectPeerEvent(gCoilServerPort, IPML_PEER_DEAD, peer);
        h.advance(1);
        h.clearLog();
        h.clearFrames();
        return found && disabledPorts() == 0 && coilGlobal.coilClients == 0;
    }

    coiltest::Harness h;
};

TEST_F(Cycles, TenThousandCreationsAndRemovalsLeaveNothingBehind) {
    // Containers that keep their capacity reach it in the first cycles.
    for (uint32_t i = 0; i < 100; i++) ASSERT_TRUE(cycle(i)) << "cycle " << i;
    const size_t before = heapInUse();
    uint32_t failed = 0;
    for (uint32_t i = 100; i < 10'100; i++) failed += cycle(i) ? 0 : 1;
    const size_t after = heapInUse();
    EXPECT_EQ(failed, 0u) << "cycles that did not create and remove a service and a disabled port";
    EXPECT_LE(after, before + 16 * 1024) << "bytes in use grew from " << before << " to " << after;
#ifdef COIL_UNDER_ASAN
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "LeakSanitizer found leaks";
#endif
    std::printf("[ figures  ] 10000 cycles: heap in use %zu bytes before, %zu after\n", before, after);
}

}  // namespace
