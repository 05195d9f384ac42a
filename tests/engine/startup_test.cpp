// The start-up chain: every later service comes up once, and only when the
// libraries and processes it depends on are ready, in whatever order they
// become ready. (Each test starts on a fresh daemon and platform in virtual
// time: tests/support/test_main.cpp.)
#include <gtest/gtest.h>

#include <string>

#include "clients/coil_cmbackend.h"
#include "clients/coil_server.h"
#include "engine/coil.h"
#include "frame/coil_main.h"
#include "mira/core/loop.h"
#include "mira/core/platform.h"
#include "vok.h"

namespace {

class Startup : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(coil_main(), 0);  // in virtual time the loop returns at once
    }
    void settle() { mira::advanceSeconds(1); }
    void ready(const char* process) {
        mira::setProcessState(process, mira::kProcessReady);
        settle();
    }
    void load(std::initializer_list<const char*> libraries) {
        for (const char* l : libraries) mira::loadLibrary(l);
        settle();
    }
};

TEST_F(Startup, GroupOneBeforeCliAndCfgmgrStartsNothingUntilTheyAreReady) {
    EXPECT_EQ(mira::ownProcessState(), 5);
    load({"dslib", "dmlib", "emslib"});
    EXPECT_EQ(cliSubagentStarted, 0);
    EXPECT_EQ(cmBackendStarted, 0);

    ready("cli");
    EXPECT_EQ(cliSubagentStarted, 1);
    EXPECT_EQ(cmBackendStarted, 0);
    ready("cfgmgr");
    EXPECT_EQ(cmBackendStarted, 1);

    // A second initialisation would fail now and end the process: it must not happen.
    mira::failCliSubagent(true);
    ready("cli");
    ready("cfgmgr");
    EXPECT_EQ(cliSubagentStarted, 1);
}

TEST_F(Startup, VlanReadyBeforeGroupTwoWaitsThenStartsOnce) {
    load({"dslib", "dmlib", "emslib"});
    ready("vlan");
    EXPECT_EQ(gCoilServerPort, 0) << "group 2 is not ready yet";

    load({"cliSubagent", "cmBackend"});
    settle();
    EXPECT_NE(gCoilServerPort, 0) << "the message server registered";

    ready("vlan");
    EXPECT_EQ(coilGroupLib3Pending, 0u) << "not started again";
    load({"vlanLib"});
    EXPECT_EQ(mira::ownProcessState(), 8);
}

TEST_F(Startup, TheMessageServerIsRetriedEachSecondUntilItsRegistrationSucceeds) {
    mira::refuseDsRegistrations(1);
    mira::failDsCallbacks(1);
    load({"dslib", "dmlib", "emslib", "cliSubagent", "cmBackend"});
    ready("vlan");
    EXPECT_EQ(gCoilServerPort, 0) << "refused, then failed";
    settle();
    settle();
    ASSERT_NE(gCoilServerPort, 0);

    // A registration on another port (the directory restarted) replaces the server.
    dsRegistration_t moved{};
    moved.port = uint16_t(gCoilServerPort + 1);
    coilServerCallback(nullptr, &moved, 0);
    EXPECT_EQ(gCoilServerPort, moved.port);
}

TEST_F(Startup, AFailedSnmpRegistrationIsRetriedAtTheNextNotificationOnly) {
    mira::failSnmpRegistrations(1);
    ready("vlan");
    ready("snmpSubagent");
    EXPECT_EQ(mira::snmpRegistrations(), 0);

    ready("snmpSubagent");
    EXPECT_EQ(mira::snmpRegistrations(), 1);
    ready("snmpSubagent");
    EXPECT_EQ(mira::snmpRegistrations(), 1);
}

TEST(StartupWithoutWatch, NoGroupOneWatchMeansNoLaterServices) {
    mira::failLmWatch(true);
    testing::internal::CaptureStdout();
    ASSERT_EQ(coil_main(), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find(
                  "COIL START Error: MIRA core library watch group set up failed!"),
              std::string::npos);
    for (const char* process : {"cli", "cfgmgr"}) mira::setProcessState(process, mira::kProcessReady);
    mira::advanceSeconds(1);
    EXPECT_EQ(cliSubagentStarted, 0);
    EXPECT_EQ(cmBackendStarted, 0);
}

TEST_F(Startup, ShutdownNotificationClosesMessagingAndAnswersMinus211) {
    vokShutdownInfo_t info{15};
    EXPECT_EQ(coilVokCallback(nullptr, 0x12345, &info), 0);
    EXPECT_NE(coilDsService, nullptr);
    EXPECT_EQ(coilVokCallback(nullptr, VOK_SHUTDOWN, &info), VOK_SHUTDOWN_ACK);
    EXPECT_EQ(coilDsService, nullptr);
}

TEST(StartupDeath, CliSubagentFailureEndsTheProcess) {
    EXPECT_EXIT(
        {
            mira::failCliSubagent(true);
            coil_main();
            mira::loadLibrary("dslib");
            mira::loadLibrary("dmlib");
            mira::loadLibrary("emslib");
            mira::setProcessState("cli", 6);
            mira::advanceSeconds(1);
        },
        testing::ExitedWithCode(255), "CLI subagent \"coil\" initialization failed");
}

}  // namespace
