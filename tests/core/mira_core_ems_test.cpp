// The event log: registration and default enables, incident formatting into
// one sink line, run-time enables, sinks, and the other platform lines that
// share the sink (assertion core, SNMP trap); the trap sink's address
// (coild --trap-sink) as net-snmp's peer name.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "ems.h"
#include "mira/core/platform.h"
#include "mira/core/snmp_trap_sink.h"
#include "miracommon.h"
#include "snmp.h"

namespace {

const emsConditionDesc_t kConditions[] = {
    {"Loud", "port %0% is %1% (%2%) %0%", EMS_SEV_WARNING, 3, 0,
     {{EMS_PARAM_TEXT, 6, 2}, {EMS_PARAM_TEXT, 6, 2}, {EMS_PARAM_INT, 1, 1}}},
    {"Quiet", "%0%", EMS_SEV_DEBUG, 1, 0, {{EMS_PARAM_TEXT, 6, 4}}},
    {"Mixed", "[%1%] %0% / %2% %3% 50%", EMS_SEV_INFO, 3, 0,
     {{EMS_PARAM_TEXT, 6, 4}, {EMS_PARAM_INT, 4, 1}, {EMS_PARAM_TEXT, 6, 2}}},
    {"C3", "x", EMS_SEV_ERROR, 0, 0, {}}, {"C4", "x", EMS_SEV_ERROR, 0, 0, {}}, {"C5", "x", EMS_SEV_ERROR, 0, 0, {}},
    {"C6", "x", EMS_SEV_ERROR, 0, 0, {}}, {"C7", "x", EMS_SEV_ERROR, 0, 0, {}},
    {"Ninth", "n", EMS_SEV_DEBUG, 0, 0, {}},
};
const emsComponentDesc_t kDesc = {"TEST", "Test component", 2, 1, 0x12, 0x12, 0x0800, 9, kConditions};

bool bit(const emsComponentHandle_t* h, unsigned i) { return h->enableBits[i / 8] & (1u << (i % 8)); }

// The enable bits of the nine test conditions, "1" for enabled.
std::string enables(const emsComponentHandle_t* h) {
    std::string out;
    for (unsigned i = 0; i < 9; ++i) out += bit(h, i) ? '1' : '0';
    return out;
}

// Raises a format-parameter condition the way the daemon's wrappers do.
int raiseFormatted(emsComponentHandle_t* h, uint32_t id, int extra, const char* text, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int r = emsNotifyIncident("unit", 1, "fn", h, id, format, &ap, extra, text);
    va_end(ap);
    return r;
}

class MiraCoreEms : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        mira::logDiscard();  // virtual time: 2026-05-28 20:26:40
        mira::captureLog(&lines);
        ASSERT_EQ(emsRegisterComponent(2, &kDesc, &handle), 0);
    }
    emsComponentHandle_t* handle = nullptr;
    std::vector<std::string> lines;
};

TEST_F(MiraCoreEms, RegistrationGivesDefaultEnables) {
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(enables(handle), "101111110") << "DEBUG is off by default, in the bitmap's second byte too";

    // The platform's components: System from program start and enabled;
    // trace registered on demand and wholly off.
    ASSERT_NE(_ems_System_ComponentHandle, nullptr);
    EXPECT_TRUE(bit(_ems_System_ComponentHandle, 0));
    ASSERT_EQ(emsRegisterComponent(2, &_ems_trace_ComponentDesc, &_ems_trace_ComponentHandle), 0);
    EXPECT_FALSE(bit(_ems_trace_ComponentHandle, 0));

    ASSERT_EQ(emsUnregisterComponent(&handle), 0);
    EXPECT_EQ(handle, nullptr);
    EXPECT_NE(emsUnregisterComponent(&handle), 0);
}

TEST_F(MiraCoreEms, IncidentBecomesOneLineWithPlaceholdersFilled) {
    ASSERT_EQ(emsNotifyIncident("unit", 1, "fn", handle, 0x120000, "2:5", "disabled", 42), 0);
    ASSERT_EQ(raiseFormatted(handle, 0x120002, 7, "tail", "%s=%d%%", "load", 99), 0);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "2026-05-28 20:26:40 WARNING TEST.Loud: port 2:5 is disabled (42) 2:5");
    // %3% names no parameter and a lone % is not a placeholder: both kept.
    EXPECT_EQ(lines[1], "2026-05-28 20:26:40 INFO TEST.Mixed: [7] load=99% / tail %3% 50%");
}

TEST_F(MiraCoreEms, EnablesChangeAtRunTimeAndApplyToLaterRegistrations) {
    EXPECT_EQ(mira::setConditionEnabled("TEST", "*", false), 9);
    EXPECT_EQ(mira::setConditionEnabled("TEST", "Ninth", true), 1);
    EXPECT_EQ(enables(handle), "000000001");
    EXPECT_EQ(mira::setConditionEnabled("TEST", "NoSuch", true), 0);

    // A rule set before registration holds when the component registers.
    EXPECT_EQ(mira::setConditionEnabled("trace", "Trace", true), 0);
    ASSERT_EQ(emsRegisterComponent(2, &_ems_trace_ComponentDesc, &_ems_trace_ComponentHandle), 0);
    EXPECT_TRUE(bit(_ems_trace_ComponentHandle, 0));
}

TEST_F(MiraCoreEms, AssertCoreAndTrapLinesShareTheSink) {
    miraSetProcessName("coil");
    miraAssertCore(1, "coil_lib", 7, "coilInit", "FALSE");
    uint8_t record[260] = {};
    std::memcpy(record, "blue", 4);
    record[259] = 4;  // big-endian length word at 256
    ASSERT_EQ(sendSnmpTrapMsg("brambleCoilVlanLoopDetected", record, sizeof record), 0);
    // A short record is read only as far as it goes.
    ASSERT_EQ(sendSnmpTrapMsg("brambleCoilVlanLoopDetected", "redred", 3), 0);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "2026-05-28 20:26:40 CRITICAL mira.AssertCore: coil: coil_lib:7 coilInit(): FALSE (core requested)");
    EXPECT_EQ(lines[1], "2026-05-28 20:26:40 NOTICE snmp.Trap: brambleCoilVlanLoopDetected vlan \"blue\" length 4");
    EXPECT_EQ(lines[2], "2026-05-28 20:26:40 NOTICE snmp.Trap: brambleCoilVlanLoopDetected vlan \"red\"");
}

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
