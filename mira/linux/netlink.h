// The rtnetlink sockets of the Linux backend (libmnl): one subscribed to
// link and multicast database notifications, one for dumps and requests
// with acknowledgements.
#pragma once
#include <cstdint>
#include <string>

#include "mira/linux/kernel_view.h"

struct mnl_socket;

namespace mira::lnx {

class Netlink {
  public:
    Netlink() = default;
    ~Netlink();
    Netlink(const Netlink&) = delete;
    Netlink& operator=(const Netlink&) = delete;

    bool open(std::string* error);
    void close();
    // Becomes readable when notifications wait.
    int eventFd() const;

    // The whole link table and the bridges' VLAN tables, into a fresh view.
    bool dump(KernelView* view, std::string* error);
    // Applies waiting notifications to the view; false when none arrived.
    // When the kernel dropped some (the socket overflowed) the view is
    // dumped anew.
    bool readEvents(KernelView* view);

    // Requests; 0 on success, else a negative errno.
    int setPortState(int ifindex, uint8_t state);  // bridge port state (0 disabled, 3 forwarding)
    int setLinkUp(int ifindex, bool up);
    // A permanent multicast database entry on the bridge for the address,
    // delivering to the bridge itself (the host).
    int mdbEntry(bool add, int bridge, uint16_t vid, const uint8_t mac[6]);

  private:
    int request(void* buffer, uint32_t length);
    bool dumpFamily(KernelView* view, uint8_t family, uint32_t extMask, std::string* error);

    mnl_socket* events_ = nullptr;
    mnl_socket* requests_ = nullptr;
    uint32_t seq_ = 1;
};

}  // namespace mira::lnx
