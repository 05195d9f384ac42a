// The trap sink's address (coild --trap-sink) as net-snmp's peer name.
#include <gtest/gtest.h>

#include <string>

#include "mira/core/snmp_trap_sink.h"

namespace {

TEST(TrapSink, AddressBecomesThePeerNameOrIsRefused) {
    struct Case {
        const char* sink;
        const char* peer;  // null: refused
    };
    const Case cases[] = {
        {"127.0.0.1", "udp:127.0.0.1:162"},     {"traps.example:1162", "udp:traps.example:1162"},
        {"[::1]", "udp6:[::1]:162"},            {"[::1]:65535", "udp6:[::1]:65535"},
        {"host:0", nullptr},                    {"host:65536", nullptr},
        {"host:", nullptr},                     {"host:16x", nullptr},
        {":162", nullptr},                      {"", nullptr},
        {"::1", nullptr},                       {"[::1", nullptr},
        {"[::1]162", nullptr},                  {"[]:162", nullptr},
    };
    for (const Case& c : cases) {
        std::string peer, error;
        const bool ok = mira::trapPeerName(c.sink, &peer, &error);
        EXPECT_EQ(ok, c.peer != nullptr) << c.sink;
        if (ok && c.peer) {
            EXPECT_EQ(peer, c.peer) << c.sink;
        } else if (!ok) {
            EXPECT_NE(error.find(c.sink), std::string::npos) << error;
        }
    }
}

}  // namespace
