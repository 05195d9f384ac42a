// Process-manager client: SIGTERM and SIGINT become the shutdown
// notification (its action word is the signal's number), delivered from the
// loop through a signalfd; once the callback has returned the loop stops, so
// dispatchHandler returns and the program ends normally. SIGHUP, through the
// same descriptor, runs the reload handler.
#include "vok.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <utility>

#include "mira/core/core_internal.h"
#include "mira/core/loop.h"
#include "mira/core/platform.h"

namespace {

struct Vok {
    vokCallback_t callback = nullptr;
    void* context = nullptr;
    int signalFd = -1;
    sigset_t savedMask{};
    std::function<void()> reload;
};

Vok& vok() {
    static Vok instance;
    return instance;
}

void shutDown(uint32_t action) {
    mira::notifyServiceManager("STOPPING=1");
    vokShutdownInfo_t info{action};
    if (vok().callback) vok().callback(vok().context, VOK_SHUTDOWN, &info);
    mira::stop();
}

void onSignal(int cond) {
    if (cond != 0) return;  // the loop has dropped the descriptor
    signalfd_siginfo si{};
    if (::read(vok().signalFd, &si, sizeof si) != sizeof si) return;
    if (si.ssi_signo != SIGHUP) {
        shutDown(si.ssi_signo);
    } else if (vok().reload) {
        vok().reload();
    } else {
        mira::logLine("INFO", "vok", "SIGHUP ignored: nothing to reload");
    }
}

// Blocks the three signals and watches them through a signalfd; registering
// again (for example after the loop was reset) only watches it anew.
bool watchSignals() {
    Vok& v = vok();
    if (v.signalFd >= 0) return mira::addFd(v.signalFd, onSignal);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    if (::sigprocmask(SIG_BLOCK, &set, &v.savedMask) != 0) return false;
    v.signalFd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (v.signalFd < 0) {
        ::sigprocmask(SIG_SETMASK, &v.savedMask, nullptr);
        return false;
    }
    return mira::addFd(v.signalFd, onSignal);
}

}  // namespace

int vokClientSetPid(void) { return 0; }

int vokClientRegisterCallback(vokCallback_t cb, void* context) {
    vok().callback = cb;
    vok().context = context;
    return watchSignals() ? 0 : -1;
}

namespace mira {

void setReloadHandler(std::function<void()> handler) { vok().reload = std::move(handler); }

void requestShutdown(uint32_t action) {
    post([action] { shutDown(action); });
}

namespace core {
void resetVok() {
    Vok& v = vok();
    if (v.signalFd >= 0) {
        removeFd(v.signalFd);
        ::close(v.signalFd);
        ::sigprocmask(SIG_SETMASK, &v.savedMask, nullptr);
    }
    v = Vok{};
}
}  // namespace core
}  // namespace mira
