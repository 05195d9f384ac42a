// The daemon's event-log gate and wrappers: what is counted, what is
// suppressed, and the lines that reach the log sink.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/coil_log.h"
#include "mira/core/platform.h"

static constexpr const char* coilUnit = "coil_test";

namespace {

class EventLog : public ::testing::Test {
  protected:
    void SetUp() override {
        mira::captureLog(&lines);
        ASSERT_EQ(emsRegisterComponent(2, &_ems_COIL_ComponentDesc, &_ems_COIL_ComponentHandle), 0);
    }
    std::vector<std::string> lines;
};

TEST_F(EventLog, DisabledConditionCountsButWritesNothing) {
    COIL_DEBUG("checkpoint %d", 1);  // DebugSummary is off by default
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(_ems_COIL_ComponentHandle->counters[2], 1u);

    mira::setConditionEnabled("COIL", "DebugSummary", true);
    COIL_DEBUG("checkpoint %d of %s", 2, "two");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("COIL.DebugSummary: checkpoint 2 of two"), std::string::npos) << lines[0];
    EXPECT_EQ(_ems_COIL_ComponentHandle->counters[2], 2u);
}

TEST_F(EventLog, SilentBeforeRegistrationAndForAConditionTheComponentLacks) {
    emsUnregisterComponent(&_ems_COIL_ComponentHandle);
    ASSERT_EQ(_ems_COIL_ComponentHandle, nullptr);
    EXPECT_FALSE(coilEmsGate(_ems_COIL_ComponentHandle, COIL_COND_DSBL_PORT));
    COIL_DEBUG("nothing");

    emsComponentDesc_t shortDesc = _ems_COIL_ComponentDesc;
    shortDesc.conditionCount = 2;
    ASSERT_EQ(emsRegisterComponent(2, &shortDesc, &_ems_COIL_ComponentHandle), 0);
    mira::setConditionEnabled("COIL", "*", true);
    COIL_DEBUG("never");
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(_ems_COIL_ComponentHandle->counters[0] + _ems_COIL_ComponentHandle->counters[1], 0u);
}

TEST(EventLogDeath, AssertionLogsTheExpressionAndEndsTheProcess) {
    EXPECT_DEATH(coilAssert(1 + 1 == 3), "1 \\+ 1 == 3");
}

}  // namespace
