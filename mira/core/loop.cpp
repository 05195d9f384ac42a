// The process's one event loop: posted tasks, timed work items and watched
// descriptors, on real or virtual time.
#include "mira/core/loop.h"

#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <tuple>

namespace mira {
namespace {

struct WorkItem {
    int64_t due;
    int64_t period;
    bool repeat;
    uint64_t order;  // tie-break among items due at one instant
    std::shared_ptr<Task> fn;
};

struct Watch {
    uint32_t serial;  // tells a re-registered descriptor from the old one
    std::shared_ptr<FdHandler> handler;
    std::shared_ptr<Task> writer;  // set while the descriptor waits for room
    bool inputPaused = false;
};

struct Loop {
    bool isVirtual = false;
    int64_t virtualMono = kVirtualMonoStartUsec;
    int64_t virtualWallStart = 0;  // wall usec at virtualMono == start
    bool isStopped = false;
    int epollFd = -1;
    uint32_t nextSerial = 1;
    uint64_t nextId = 1;
    uint64_t nextOrder = 1;
    std::deque<Task> tasks;
    std::map<uint64_t, WorkItem> items;
    std::set<std::tuple<int64_t, uint64_t, uint64_t>> schedule;  // (due, order, id)
    std::map<int, Watch> watches;

    ~Loop() {
        if (epollFd >= 0) ::close(epollFd);
    }
};

Loop& loop() {
    static Loop instance;
    return instance;
}

int64_t clockUsec(clockid_t id) {
    timespec ts{};
    ::clock_gettime(id, &ts);
    return int64_t(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

int epollFd() {
    Loop& l = loop();
    if (l.epollFd < 0) l.epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    return l.epollFd;
}

void scheduleItem(uint64_t id, WorkItem& item) {
    item.order = loop().nextOrder++;
    loop().schedule.emplace(item.due, item.order, id);
}

// Tasks the real-time loop runs before it looks at descriptors and timers
// again. Tasks that keep posting tasks (frames circulating in a looped
// network) would otherwise hold the loop for as long as they go on.
constexpr size_t kTaskBudget = 4096;

// Runs posted tasks until none is left (tasks posted meanwhile included),
// or until `budget` tasks have run when it is not 0.
bool runTasks(size_t budget = 0) {
    Loop& l = loop();
    bool ran = false;
    for (size_t n = 0; !l.tasks.empty() && !l.isStopped && (budget == 0 || n < budget); ++n) {
        Task t = std::move(l.tasks.front());
        l.tasks.pop_front();
        ran = true;
        if (t) t();
    }
    return ran;
}

int conditionOf(int fd, uint32_t events) {
    bool hup = events & (EPOLLHUP | EPOLLRDHUP);
    if (events & EPOLLIN) {
        if (!hup) return 0;
        int pending = 0;
        if (::ioctl(fd, FIONREAD, &pending) == 0 && pending > 0) return 0;
    }
    if (events & EPOLLERR) return -998;
    if (hup) return -999;
    return 0;
}

// Waits up to timeoutMs for descriptors and runs their handlers; true when
// any handler ran.
bool runReadyFds(int timeoutMs) {
    Loop& l = loop();
    if (l.watches.empty()) {
        if (timeoutMs > 0 && !l.isVirtual) {
            timespec ts{timeoutMs / 1000, (timeoutMs % 1000) * 1'000'000L};
            ::nanosleep(&ts, nullptr);
        }
        return false;
    }
    epoll_event events[64];
    int n = ::epoll_wait(epollFd(), events, 64, timeoutMs);
    bool ran = false;
    for (int i = 0; i < n && !l.isStopped; ++i) {
        int fd = int(events[i].data.u64 & 0xffffffffu);
        uint32_t serial = uint32_t(events[i].data.u64 >> 32);
        auto it = l.watches.find(fd);
        if (it == l.watches.end() || it->second.serial != serial) continue;  // removed meanwhile
        std::shared_ptr<FdHandler> handler = it->second.handler;
        const uint32_t ev = events[i].events;
        if ((ev & EPOLLOUT) && it->second.writer) {
            std::shared_ptr<Task> writer = it->second.writer;
            ran = true;
            (*writer)();
            // The writer may have closed the descriptor or re-registered it.
            auto again = l.watches.find(fd);
            if (again == l.watches.end() || again->second.serial != serial || l.isStopped) continue;
        }
        if (!(ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) continue;
        int cond = conditionOf(fd, ev);
        if (cond != 0) removeFd(fd);
        ran = true;
        if (*handler) (*handler)(cond);
    }
    return ran;
}

// Runs the earliest work item if it is due by `by`; true when one ran.
bool runOneItem(int64_t by, bool setVirtualClock) {
    Loop& l = loop();
    if (l.schedule.empty() || l.isStopped) return false;
    auto first = l.schedule.begin();
    auto [due, order, id] = *first;
    if (due > by) return false;
    l.schedule.erase(first);
    auto it = l.items.find(id);
    if (it == l.items.end()) return true;
    if (setVirtualClock && due > l.virtualMono) l.virtualMono = due;
    std::shared_ptr<Task> fn = it->second.fn;
    if (it->second.repeat) {
        WorkItem& item = it->second;
        item.due += item.period;
        int64_t now = monoUsec();
        if (item.due <= now - item.period) item.due = now + item.period;  // far behind: skip, don't burst
        scheduleItem(id, item);
    } else {
        l.items.erase(it);
    }
    if (*fn) (*fn)();
    return true;
}

}  // namespace

int64_t monoUsec() {
    Loop& l = loop();
    return l.isVirtual ? l.virtualMono : clockUsec(CLOCK_MONOTONIC);
}

int64_t wallUsec() {
    Loop& l = loop();
    return l.isVirtual ? l.virtualWallStart + (l.virtualMono - kVirtualMonoStartUsec) : clockUsec(CLOCK_REALTIME);
}

// Keeps each scheduled item's remaining delay across a change of clock.
static void rebase(int64_t oldNow, int64_t newNow) {
    Loop& l = loop();
    std::set<std::tuple<int64_t, uint64_t, uint64_t>> rebased;
    for (auto [due, order, id] : l.schedule) {
        auto it = l.items.find(id);
        if (it == l.items.end()) continue;
        it->second.due = newNow + std::max<int64_t>(0, due - oldNow);
        rebased.emplace(it->second.due, order, id);
    }
    l.schedule = std::move(rebased);
}

void useVirtualTime(int64_t wallStartSec) {
    Loop& l = loop();
    int64_t oldNow = monoUsec();
    l.isVirtual = true;
    l.virtualMono = kVirtualMonoStartUsec;
    l.virtualWallStart = wallStartSec * 1'000'000;
    rebase(oldNow, l.virtualMono);
}

void useRealTime() {
    Loop& l = loop();
    if (!l.isVirtual) return;
    int64_t oldNow = monoUsec();
    l.isVirtual = false;
    rebase(oldNow, monoUsec());
}

bool virtualTime() { return loop().isVirtual; }

void post(Task fn) { loop().tasks.push_back(std::move(fn)); }

uint64_t addWorkItem(int64_t periodUsec, bool repeat, Task fn) {
    Loop& l = loop();
    if (periodUsec < 0) periodUsec = 0;
    if (repeat && periodUsec < 1) periodUsec = 1;
    uint64_t id = l.nextId++;
    WorkItem item{monoUsec() + periodUsec, periodUsec, repeat, 0, std::make_shared<Task>(std::move(fn))};
    auto [it, _] = l.items.emplace(id, std::move(item));
    scheduleItem(id, it->second);
    return id;
}

bool removeWorkItem(uint64_t id) {
    // Its schedule entry stays behind and is skipped when it comes up.
    return loop().items.erase(id) > 0;
}

bool addFd(int fd, FdHandler handler) {
    Loop& l = loop();
    if (fd < 0 || epollFd() < 0) return false;
    uint32_t serial = l.nextSerial++;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = (uint64_t(serial) << 32) | uint32_t(fd);
    bool known = l.watches.count(fd) > 0;
    if (::epoll_ctl(l.epollFd, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) != 0) {
        if (!known || errno != ENOENT) return false;
        // Closed and reused since it was registered: register it afresh.
        if (::epoll_ctl(l.epollFd, EPOLL_CTL_ADD, fd, &ev) != 0) return false;
    }
    l.watches[fd] = Watch{serial, std::make_shared<FdHandler>(std::move(handler)), nullptr, false};
    return true;
}

namespace {

// Re-registers the descriptor with what its watch now asks for.
bool applyInterest(int fd, const Watch& w) {
    epoll_event ev{};
    ev.events = (w.inputPaused ? 0u : uint32_t(EPOLLIN | EPOLLRDHUP)) | (w.writer ? uint32_t(EPOLLOUT) : 0u);
    ev.data.u64 = (uint64_t(w.serial) << 32) | uint32_t(fd);
    return ::epoll_ctl(loop().epollFd, EPOLL_CTL_MOD, fd, &ev) == 0;
}

}  // namespace

bool watchWritable(int fd, Task onWritable) {
    auto it = loop().watches.find(fd);
    if (it == loop().watches.end()) return false;
    it->second.writer = std::make_shared<Task>(std::move(onWritable));
    return applyInterest(fd, it->second);
}

void stopWatchingWritable(int fd) {
    auto it = loop().watches.find(fd);
    if (it == loop().watches.end() || !it->second.writer) return;
    it->second.writer.reset();
    applyInterest(fd, it->second);
}

void pauseInput(int fd, bool paused) {
    auto it = loop().watches.find(fd);
    if (it == loop().watches.end() || it->second.inputPaused == paused) return;
    it->second.inputPaused = paused;
    applyInterest(fd, it->second);
}

void removeFd(int fd) {
    Loop& l = loop();
    if (l.watches.erase(fd) == 0) return;
    ::epoll_ctl(l.epollFd, EPOLL_CTL_DEL, fd, nullptr);  // fails harmlessly if already closed
}

void drain() {
    while (!loop().isStopped) {
        bool ran = runTasks();
        ran |= runReadyFds(0);
        if (!ran) break;
    }
}

void advance(int64_t usec) {
    Loop& l = loop();
    if (!l.isVirtual) return;
    int64_t target = l.virtualMono + std::max<int64_t>(0, usec);
    for (;;) {
        drain();
        if (!runOneItem(target, true)) break;
    }
    l.virtualMono = std::max(l.virtualMono, target);  // a nested advance may have gone further
    drain();
}

int run() {
    Loop& l = loop();
    if (l.isVirtual) {
        advance(0);
        return 0;
    }
    while (!l.isStopped) {
        runTasks(kTaskBudget);
        while (runOneItem(monoUsec(), false)) runTasks(kTaskBudget);
        if (l.isStopped) break;
        int timeoutMs = -1;
        if (!l.tasks.empty()) {
            timeoutMs = 0;
        } else if (!l.schedule.empty()) {
            int64_t wait = std::get<0>(*l.schedule.begin()) - monoUsec();
            timeoutMs = wait <= 0 ? 0 : int(std::min<int64_t>((wait + 999) / 1000, INT_MAX));
        }
        if (timeoutMs < 0 && l.watches.empty()) break;  // nothing could ever happen
        runReadyFds(timeoutMs);
    }
    return 0;
}

void stop() { loop().isStopped = true; }
bool stopped() { return loop().isStopped; }

void resetLoop() {
    Loop& l = loop();
    l.tasks.clear();
    l.items.clear();
    l.schedule.clear();
    l.watches.clear();
    if (l.epollFd >= 0) ::close(l.epollFd);
    l.epollFd = -1;
    l.isStopped = false;
}

}  // namespace mira
