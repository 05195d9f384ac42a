// The link between the distribution managers of two coild processes, one
// per simulated management module: it carries checkpoint messages from the
// primary's writeBackup to the backup's checkpoint handler, turns
// checkpointing on while it is up, and makes a backup whose peer is lost
// the primary. Design and limits: docs/redundancy.md.
//
// Both processes are given the same directory, which must be private to
// their user. The one that holds the lock file there (DIR/coil-dm.lock,
// never opened through a link) listens on DIR/coil-dm.sock; the other
// connects. Each end takes the other only if it is of the same user or root. Roles do not decide who listens, so a restarted module finds
// its peer whatever role each has by then.
//
// Stream: frames of mira/control_frame.h (8-byte header: type, payload
// length, both 32-bit big-endian), of two types:
//   kLinkHello       payload: the sender's node state (32-bit); sent once the
//                    sender's configuration is loaded (process state 9)
//   kLinkCheckpoint  payload: the message kind (32-bit), then the message
// The link is up when each side has sent and received a hello.
#pragma once
#include <cstdint>
#include <string>

namespace mira::dmlink {

inline constexpr const char* kSocketName = "coil-dm.sock";
inline constexpr const char* kLockName = "coil-dm.lock";
inline constexpr uint32_t kLinkHello = 0x444d0001;
inline constexpr uint32_t kLinkCheckpoint = 0x444d0002;
// Largest checkpoint message carried; a frame announcing more ends the link.
inline constexpr uint32_t kMaxMessage = 64 * 1024;
// How often a side without a peer looks for one.
inline constexpr int64_t kRetryUsec = 200'000;
// Nothing waits for the peer: what its socket does not take is queued, up
// to kMaxQueued bytes (a bulk copy of the most services the daemon holds);
// past that, or with a byte queued for longer than kSendDeadlineUsec, the
// link is dropped.
inline constexpr size_t kMaxQueued = size_t{16} * 1024 * 1024;
inline constexpr int64_t kSendDeadlineUsec = 10'000'000;

// The node state named "primary", "backup" or "standby"; 0 for anything else.
uint32_t nodeStateByName(const std::string& name);
// Sets this module's role before the daemon starts (no event is delivered).
void setStartRole(uint32_t nodeState);

// Starts looking for the peer in dir (created 0700 if missing). False, with
// the reason in *error, when dir cannot be used: not a directory (a link is
// not taken), of another user, or writable by group or others.
bool start(const std::string& dir, std::string* error);
// Ends the link (the peer sees it drop) and gives up the socket.
void stop();
bool up();

}  // namespace mira::dmlink
