// The stand-in's event loop and clocks, under the platform's dispatcher.
// One loop per process. In real mode it waits on epoll and the system
// clocks; in virtual mode time moves only when a test (or benchmark) calls
// advance(), and everything due by then runs in order, at once.
#pragma once
#include <cstdint>
#include <functional>

namespace mira {

using Task = std::function<void()>;
using FdHandler = std::function<void(int cond)>;  // cond 0: readable; -999 hangup; -998 error

// Clocks. Microseconds. The wall clock starts at the system's time in real
// mode and at a fixed, documented epoch in virtual mode.
int64_t monoUsec();
int64_t wallUsec();

// Switches the loop to virtual time (from the next call on). wallStartSec
// sets the virtual wall clock's starting second.
void useVirtualTime(int64_t wallStartSec = 1'780'000'000);
bool virtualTime();

// Runs fn from the loop after the current callback has returned, in the
// order posted. Never runs inside the call.
void post(Task fn);

// A work item: first run after periodUsec, then every periodUsec when
// repeat. Returns a nonzero id.
uint64_t addWorkItem(int64_t periodUsec, bool repeat, Task fn);
void removeWorkItem(uint64_t id);

// Watches a descriptor for input.
void addFd(int fd, FdHandler handler);
void removeFd(int fd);

// Real mode: runs until stop(); returns 0. Virtual mode: runs what is due now
// and returns 0.
int run();
void stop();
bool stopped();

// Virtual mode: moves time forward by usec, running every posted task, ready
// descriptor, work item and timer that is due, in time order.
void advance(int64_t usec);
inline void advanceSeconds(int64_t s) { advance(s * 1'000'000); }
// Runs posted tasks and ready descriptors at the current time until none is left.
void drain();

// Back to a fresh loop (tests): drops every work item, task and descriptor.
void resetLoop();

}  // namespace mira
