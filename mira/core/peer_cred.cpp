// Peer credentials of Unix stream sockets and the rules of who may connect.
#include "mira/core/peer_cred.h"

#include <sys/socket.h>

namespace mira {

bool peerIdentity(int fd, PeerIdentity* out) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return false;
    out->pid = cred.pid;
    out->uid = cred.uid;
    out->gid = cred.gid;
    return true;
}

bool controlPeerAllowed(const PeerIdentity& peer, uid_t ownUid) { return peer.uid == ownUid || peer.uid == 0; }

bool messagePeerAllowed(const PeerIdentity& peer, uid_t ownUid, gid_t ownGid) {
    return peer.uid == ownUid || peer.uid == 0 || peer.gid == ownGid;
}

}  // namespace mira
