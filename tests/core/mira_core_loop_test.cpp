// The event loop: ordering of posted tasks, work items and descriptors in
// virtual time, the clocks, and shutdown (on real time in a child):
// SIGTERM/SIGINT reach the process-manager callback from the loop, after
// which the real loop ends and the program exits normally.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "dispatch.h"
#include "mira/core/loop.h"
#include "mira/core/platform.h"
#include "miracommon.h"
#include "support/reset.h"
#include "vok.h"

namespace {

constexpr int64_t kStart = mira::kVirtualMonoStartUsec;

class MiraCoreLoop : public ::testing::Test {
protected:
    // Records "name@usec-since-start".
    mira::Task note(std::string name) {
        return [this, name] { log.push_back(name + "@" + std::to_string(mira::monoUsec() - kStart)); };
    }
    std::vector<std::string> log;
};

TEST_F(MiraCoreLoop, WorkItemsRunInDueOrderWithTasksFirstAtEachInstant) {
    mira::addWorkItem(300, false, note("late"));
    mira::addWorkItem(100, false, [this] {
        note("first")();
        mira::post(note("posted"));  // same instant, before the next item
    });
    mira::addWorkItem(200, false, note("mid"));
    mira::addWorkItem(100, false, note("tie"));  // scheduled after "first"
    mira::advance(250);
    EXPECT_EQ(log, (std::vector<std::string>{"first@100", "posted@100", "tie@100", "mid@200"}));
    EXPECT_EQ(mira::monoUsec() - kStart, 250);
    mira::advance(50);  // due exactly at the target
    EXPECT_EQ(log.back(), "late@300");
}

TEST_F(MiraCoreLoop, RepeatingItemRunsEachPeriodAndCanRemoveItself) {
    int runs = 0;
    uint64_t id = 0;
    id = mira::addWorkItem(1'000'000, true, [&] {
        log.push_back(std::to_string((mira::monoUsec() - kStart) / 1'000'000));
        if (++runs == 3) {
            EXPECT_TRUE(mira::removeWorkItem(id));
        }
    });
    EXPECT_NE(id, 0u);
    mira::advanceSeconds(10);
    EXPECT_EQ(log, (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_FALSE(mira::removeWorkItem(id));
}

TEST_F(MiraCoreLoop, ReadableDescriptorIsHandledAtTheInstantItBecomesReadable) {
    int fds[2];  // a socket pair: its hangup also reads as readable, with nothing pending
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::vector<int> conds;
    ASSERT_TRUE(mira::addFd(fds[0], [&](int cond) {
        conds.push_back(cond);
        note("fd")();
        char c;
        if (cond == 0) {
            ASSERT_EQ(::read(fds[0], &c, 1), 1);
        }
    }));
    mira::addWorkItem(500, false, [&] { ASSERT_EQ(::write(fds[1], "x", 1), 1); });
    mira::addWorkItem(500, false, note("same-instant item"));
    mira::addWorkItem(700, false, [&] { ::close(fds[1]); });
    mira::advance(1000);
    EXPECT_EQ(log, (std::vector<std::string>{"fd@500", "same-instant item@500", "fd@700"}));
    EXPECT_EQ(conds, (std::vector<int>{0, -999}));
    mira::advance(1000);  // the hung-up descriptor is no longer watched
    EXPECT_EQ(conds.size(), 2u);
    ::close(fds[0]);

    // A pipe's write end whose reader has gone reports an error.
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_TRUE(mira::addFd(fds[1], [&](int cond) { conds.push_back(cond); }));
    ::close(fds[0]);
    mira::advance(1000);
    EXPECT_EQ(conds.back(), -998);
    ::close(fds[1]);
}

TEST_F(MiraCoreLoop, PlatformClocksFollowVirtualTime) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    mira::advance(2'500'000);  // from 1000 s monotonic, 2026-05-28 20:26:40 UTC
    miraTimeval_t tv{};
    ASSERT_EQ(getmonotimeofday(&tv), 0);
    EXPECT_EQ(tv.tv_sec * 1'000'000 + tv.tv_usec, 1'002'500'000);
    time_t now = 0;
    EXPECT_EQ(miraTime(&now), 1'780'000'002);
    EXPECT_EQ(now, 1'780'000'002);
    EXPECT_STREQ(miraAsctime(now), "Thu May 28 20:26:42 2026\n");
}

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
