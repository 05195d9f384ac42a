// The receive filter specification the daemon hands to the packet library.
#include <gtest/gtest.h>

#include "mira/sim/switch.h"
#include "support/harness.h"

namespace {

TEST(PacketFilter, SpecificationBytesAreInNetworkOrder) {
    coiltest::Harness h("chassis mac 02:00:00:c0:11:01 slots 1 first 1 ports 4\n"
                        "vlan ten instance 10 tag 10 ports 1:1-1:2\n");
    ASSERT_EQ(h.configure("ten", {{"interval", "1"}}).result, 1);
    const std::vector<uint8_t> spec = mira::lastFilterSpec();
    ASSERT_EQ(spec.size(), 44u);
    // Bytes 4 to 43; 0 to 3 are the id the library wrote.
    const std::vector<uint8_t> expected{0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0,
                                        0x00, 0x0A, 0, 0, 6, 0x03, 0x00, 0x00, 0xc0, 0x11, 0x01, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(spec.begin() + 4, spec.end()), expected);
}

}  // namespace
