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
// mode and at wallStartSec (below) in virtual mode; the virtual monotonic
// clock starts at kVirtualMonoStartUsec, so it is never 0.
inline constexpr int64_t kVirtualMonoStartUsec = 1'000'000'000;  // 1000 s
int64_t monoUsec();
int64_t wallUsec();

// Switches the loop to virtual time (from the next call on) and sets both
// virtual clocks to their start. wallStartSec sets the virtual wall clock's
// starting second (default: 2026-05-28 20:26:40 UTC). Work items already
// scheduled keep their remaining delay.
void useVirtualTime(int64_t wallStartSec = 1'780'000'000);
bool virtualTime();
// Back to the system's clocks (scheduled work items keep their remaining delay).
void useRealTime();

// Runs fn from the loop after the current callback has returned, in the
// order posted. Never runs inside the call.
void post(Task fn);

// A work item: first run after periodUsec, then every periodUsec when
// repeat (a repeating period is at least 1 usec). Returns a nonzero id.
// Items due at the same instant run in the order they were scheduled.
uint64_t addWorkItem(int64_t periodUsec, bool repeat, Task fn);
// True when the item existed. Safe from inside the item itself.
bool removeWorkItem(uint64_t id);

// Watches a descriptor for input; false when epoll refuses it. Registering a
// watched descriptor again replaces its handler. After a hangup (-999) or an
// error (-998) is delivered the descriptor is no longer watched (the
// condition would otherwise repeat forever); the handler closes it.
// A hangup with unread data is first delivered as readable (0).
bool addFd(int fd, FdHandler handler);
void removeFd(int fd);
// A watched descriptor is also watched for room to write: onWritable runs
// from the loop whenever the descriptor takes more, until
// stopWatchingWritable. False when the descriptor is not watched.
bool watchWritable(int fd, Task onWritable);
void stopWatchingWritable(int fd);
// Stops (paused) or resumes watching a watched descriptor for input; its
// hangups and errors are still delivered. A connection whose replies wait
// stops taking requests this way.
void pauseInput(int fd, bool paused);

// Real mode: runs until stop() (or until nothing is left that could ever
// run: no task, work item or descriptor); returns 0. Ready descriptors and
// due work items get their turn after at most a few thousand posted tasks,
// however many more those tasks post. Virtual mode: runs what
// is due now and returns 0.
int run();
// Ends run() after the current callback; a stopped loop runs nothing more
// (advance() then only moves time) until resetLoop().
void stop();
bool stopped();

// Virtual mode: moves time forward by usec, running every posted task, ready
// descriptor and work item that is due, in time order: at each instant
// posted tasks and ready descriptors first, then the next due work item.
// Does nothing in real mode.
void advance(int64_t usec);
inline void advanceSeconds(int64_t s) { advance(s * 1'000'000); }
// Runs posted tasks and ready descriptors at the current time until none is left.
void drain();

// Back to a fresh loop (tests): drops every work item, task and descriptor
// and clears stop(). The time mode and the clocks stay as they are.
void resetLoop();

}  // namespace mira
