// Who may talk to the daemon's sockets. The kernel tells a Unix socket
// server the user and group of the process at the other end
// (SO_PEERCRED); the rules are plain functions of those, so that they can
// be checked for users a test cannot become.
#pragma once
#include <sys/types.h>

namespace mira {

struct PeerIdentity {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

// The credentials of the process at the other end of a connected Unix
// socket; false when the kernel does not give them.
bool peerIdentity(int fd, PeerIdentity* out);

// The control socket: the daemon's own user, or root.
bool controlPeerAllowed(const PeerIdentity& peer, uid_t ownUid);
// The message server: the daemon's own user, a process whose group is the
// daemon's group, or root.
bool messagePeerAllowed(const PeerIdentity& peer, uid_t ownUid, gid_t ownGid);

}  // namespace mira
