// Shutdown: SIGTERM/SIGINT reach the process-manager callback from the loop,
// after which the real loop ends and the program exits normally.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "support/reset.h"
#include "dispatch.h"
#include "mira/core/loop.h"
#include "mira/core/platform.h"
#include "vok.h"

namespace {

int callbacks;
uint32_t lastCode, lastAction;
bool loopStoppedDuringCallback;

int vokCallback(void* context, uint32_t code, void* info) {
    EXPECT_EQ(context, &callbacks);
    ++callbacks;
    lastCode = code;
    lastAction = static_cast<vokShutdownInfo_t*>(info)->action;
    loopStoppedDuringCallback = mira::stopped();
    return VOK_SHUTDOWN_ACK;
}

int raiseSignal(void* signo, void*) {
    ::kill(::getpid(), int(reinterpret_cast<intptr_t>(signo)));
    return 0;
}

// Runs the real loop in a child that signals itself after a few
// milliseconds; the child exits 0 only if the callback saw the shutdown
// (with the signal's number as action) and dispatchHandler returned 0.
int childExitStatus(int signo) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(5);  // a loop that never ends fails the test instead of hanging it
        mira::useRealTime();
        callbacks = 0;
        if (vokClientRegisterCallback(vokCallback, &callbacks) != 0) ::_exit(10);
        dispatchExecuteWorkItem(raiseSignal, reinterpret_cast<void*>(intptr_t(signo)), nullptr, {0, 3000},
                                DISPATCH_ONCE);
        // A repeating item keeps the loop busy; only the shutdown ends it.
        dispatchExecuteWorkItem([](void*, void*) { return 0; }, nullptr, nullptr, {0, 1000}, DISPATCH_REPEAT);
        int r = dispatchHandler();
        bool ok = r == 0 && callbacks == 1 && lastCode == VOK_SHUTDOWN && lastAction == uint32_t(signo) &&
                  !loopStoppedDuringCallback;
        ::_exit(ok ? 0 : 11);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return status;
}

TEST(MiraCoreShutdown, SigtermOrSigintEndsTheRealLoopAndTheProgramExitsZero) {
    for (int signo : {SIGTERM, SIGINT}) {
        int status = childExitStatus(signo);
        ASSERT_TRUE(WIFEXITED(status)) << signo << ": status " << status;
        EXPECT_EQ(WEXITSTATUS(status), 0) << signo;
    }
}

TEST(MiraCoreShutdown, RequestedShutdownInVirtualTimeStopsEverythingAfterTheCallback) {
    callbacks = 0;
    ASSERT_EQ(vokClientRegisterCallback(vokCallback, &callbacks), 0);
    int ticks = 0;
    mira::addWorkItem(1'000'000, true, [&] { ++ticks; });
    mira::advanceSeconds(2);
    mira::requestShutdown(7);
    EXPECT_EQ(callbacks, 0);  // through the loop, not inside the call
    mira::advanceSeconds(5);
    EXPECT_EQ(callbacks, 1);
    EXPECT_EQ(lastAction, 7u);
    EXPECT_TRUE(mira::stopped());
    EXPECT_EQ(ticks, 2);
    coiltest::resetDaemonAndPlatform();  // restores the signal mask
    sigset_t mask;
    ASSERT_EQ(::sigprocmask(SIG_BLOCK, nullptr, &mask), 0);
    EXPECT_FALSE(sigismember(&mask, SIGTERM));
}

}  // namespace
