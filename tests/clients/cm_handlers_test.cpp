// The configuration handlers: gets by exact key and by successor, the
// global switch and counters, disabled ports, status reads, the load
// event's resumption of hold timers, and the debug dumps.
#include <gtest/gtest.h>

#include <cstring>

#include <cstdio>

#include "clients/coil_cmbackend.h"
#include "clients/coil_objdef.h"
#include "diag/coil_debug.h"
#include "mira/core/cm.h"
#include "mira/sim/switch.h"
#include "support/daemon_helpers.h"
#include "support/harness.h"

namespace {

using coiltest::Harness;
using coiltest::port;
using mira::CmAttr;

constexpr uint32_t kExact = CM_FLAG_EXACT;
constexpr uint32_t kNext = CM_FLAG_NEXT;

class Handlers : public ::testing::Test {
  protected:
    Harness h;
};

TEST_F(Handlers, ServiceGetsByExactKeyAndBySuccessor) {
    ASSERT_EQ(h.configure("red", {{"interval", "5"}}).result, 1);
    ASSERT_EQ(h.configure("blue", {{"interval", "7"}, {"retry", "9"}, {"action", "3"}, {"ports", "1:2-1:3"},
                                   {"disablePort", "1"}, {"disablePortDuration", "30"}})
                  .result,
              1);
    auto r = h.get("coilServiceNode", {{"clientIdentifier", "1"}, {"vlan", "blue"}}, kExact | CM_FLAG_ROW_STATUS_OUTPUT);
    EXPECT_EQ(r.result, 2);
    EXPECT_EQ(r.output,
              "<coilServiceNode><vlanIfInstance>100</vlanIfInstance><clientIdentifier><![CDATA[1]]></clientIdentifier>"
              "<disablePort>1</disablePort><interval>7</interval><vlan><![CDATA[blue]]></vlan><clientType>2</clientType>"
              "<txpkts>0</txpkts><retry>9</retry><ports>1:2-1:3</ports><rxpkts>0</rxpkts><rowStatus>active</rowStatus>"
              "<action>3</action><disablePortDuration>30</disablePortDuration><numPorts>2</numPorts>"
              "<pollType>1</pollType></coilServiceNode>");
    r = h.get("coilServiceNode", {{"clientIdentifier", "1"}, {"vlan", "red"}}, kExact);
    EXPECT_EQ(r.output,
              "<coilServiceNode><vlanIfInstance>200</vlanIfInstance><clientIdentifier><![CDATA[1]]></clientIdentifier>"
              "<disablePort>0</disablePort><interval>5</interval><vlan><![CDATA[red]]></vlan><clientType>2</clientType>"
              "<txpkts>0</txpkts><retry>0</retry><ports></ports><rxpkts>0</rxpkts><action>0</action>"
              "<disablePortDuration>0</disablePortDuration><numPorts>0</numPorts><pollType>2</pollType>"
              "</coilServiceNode>");

    // The walk's order and ends: ServiceWalk (tests/core).
    r = h.get("coilServiceNode", {{"clientIdentifier", "1"}, {"vlanIfInstance", "200"}}, kNext);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.output, "");

    r = h.get("coilServiceNode", {{"clientIdentifier", "1"}, {"vlan", "nosuch"}}, kExact);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.message, "Invalid Vlan nosuch specified!");
    r = h.set("coilServiceNode",
              {{"clientIdentifier", "1"}, {"vlanIfInstance", "0"}, {"vlan", "nosuch"}, {"rowStatus", "destroy"}});
    EXPECT_EQ(r.message, "Invalid Vlan nosuch specified!");
    EXPECT_EQ(h.get("coilServiceNode", {{"clientIdentifier", "1"}, {"vlan", "blue"}}, 0).result, 0);
}

// Replayed saved configuration clears no counter; an operator's request
// clears them whatever its value.
TEST_F(Handlers, ClearCounterClearsWhateverItsValueButNotOnReplay) {
    coiltest::giveLink({port(1, 1)});
    ASSERT_EQ(h.configure("blue", {{"interval", "1"}}).result, 1);
    h.advance(2);
    ASSERT_GT(coilGlobal.numPktsSent, 0u);
    auto r = h.set("coilGlobalCfg", {{"enable", "false"}, {"clearCounter", "false"}}, CM_FLAG_IMPLIED_ROW_STATUS);
    EXPECT_EQ(r.result, 1);
    EXPECT_GT(coilGlobal.numPktsSent, 0u) << "a replay clears nothing";

    r = h.set("coilGlobalCfg", {{"clearCounter", "false"}, {"rowStatus", "active"}});
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(coilGlobal.numPktsSent, 0u);
    EXPECT_EQ(findCoilServiceNode("1", 100)->serviceStats.txpkts, 0u);
    r = h.get("coilGlobalCfg", {}, kExact);
    EXPECT_EQ(r.output,
              "<coilGlobalCfg><enable>false</enable><rxpkts>0</rxpkts><disablePortWaitTime>2</disablePortWaitTime>"
              "<txpkts>0</txpkts><coilClients>1</coilClients></coilGlobalCfg>");
}

TEST_F(Handlers, StatusReadOfAFinishedRunConsumesItAndLeavesARunningOneAlone) {
    coiltest::giveLink({port(1, 1)});
    ASSERT_EQ(h.configure("blue", {{"interval", "1"}, {"retry", "1"}, {"action", "1"}}).result, 1);
    ASSERT_EQ(h.configure("red", {{"interval", "1"}, {"action", "1"}}).result, 1);
    h.advance(2);
    const std::vector<CmAttr> blue{{"clientIdentifier", "1"}, {"vlanIfInstance", "100"}, {"vlan", "blue"}};
    auto r = h.get("coilServiceStatus", blue, kExact);
    EXPECT_EQ(r.result, 2);
    EXPECT_EQ(r.output,
              "<coilServiceStatus><vlanIfInstance>100</vlanIfInstance><clientIdentifier><![CDATA[1]]></clientIdentifier>"
              "<statusFlag>0</statusFlag><pollCount>0</pollCount><vlan><![CDATA[blue]]></vlan><statusString><![CDATA["
              "# NO LOOP DETECTED # --- vlan \"blue\" coil statistics ---\n1 packets transmitted, 0 received, "
              "ingress port (nil)\n]]></statusString></coilServiceStatus>");
    EXPECT_EQ(h.get("coilServiceStatus", blue, kExact).result, 1) << "the first read consumed it";
    h.advance(5);  // its cleanup timer went with it

    // A running periodic run is only reported on, though its flag reads 0 after a report.
    coilServiceNode* red = findCoilServiceNode("1", 200);
    red->serviceStats.statusFlag = 0;
    r = h.get("coilServiceStatus", {{"clientIdentifier", "1"}, {"vlanIfInstance", "200"}, {"vlan", "red"}}, kExact);
    EXPECT_EQ(r.result, 2);
    EXPECT_EQ(findCoilServiceNode("1", 200), red);
    EXPECT_EQ(h.get("coilServiceStatus", blue, kNext).result, 1) << "the status object is not walked";
}

TEST_F(Handlers, DisabledPortsByKeyAndSuccessorAndZeroEntries) {
    coilServiceNode* sr = coiltest::startDaemonService("ospf", 100, 60);
    sr->target.disablePortDuration = 30;
    for (uint16_t p : {3, 4}) {
        sr->target.inPif = sr->target.inLif = {1, p};
        coilPortControlCreate(sr);
    }
    auto r = h.get("coilDisabledPortStatus", {}, kNext | 1);
    EXPECT_EQ(r.result, 2);
    // Newest first; the time is the local time of the disable.
    EXPECT_EQ(r.output.rfind("<coilDisabledPortStatus><disabledPort>1:4</disabledPort><timeDisabled><![CDATA[", 0), 0u)
        << r.output;
    EXPECT_TRUE(r.output.ends_with(" 2026\n]]></timeDisabled><disablePortDuration>30</disablePortDuration>"
                                   "<vlan><![CDATA[blue]]></vlan></coilDisabledPortStatus>"));
    r = h.get("coilDisabledPortStatus", {{"disabledPort", "1:4"}}, kNext | 1);
    EXPECT_NE(r.output.find("<disabledPort>1:3</disabledPort>"), std::string::npos);
    EXPECT_EQ(h.get("coilDisabledPortStatus", {{"disabledPort", "1:3"}}, kNext | 1).result, 1);
    EXPECT_EQ(mira::cmWalk("coilDisabledPortStatus", {}).records, 2) << "a walk takes each disabled port once";
    r = h.get("coilDisabledPortStatus", {{"disabledPort", "1:3"}}, kExact | 1);
    EXPECT_EQ(r.result, 1);
    EXPECT_NE(r.output.find("<disabledPort>1:3</disabledPort>"), std::string::npos);
    EXPECT_EQ(h.get("coilDisabledPortStatus", {{"disabledPort", "1:5"}}, kExact | 1).output, "") << "not disabled";

    r = h.get("coilDisabledPortStatus", {}, kNext);
    EXPECT_EQ(r.result, 2);
    EXPECT_EQ(r.output, "") << "asked for 0 entries";
    r = h.get("coilDisabledPortStatus", {{"disabledPort", "1:3"}}, kExact);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(h.get("coilDisabledPortStatus", {}, kExact | 1).result, 0) << "exact without a key";
}

TEST_F(Handlers, TheLoadEventResumesWhatRemainsOfEachHoldTime) {
    ASSERT_EQ(h.configure("blue", {{"interval", "60"}, {"disablePort", "1"}, {"disablePortDuration", "60"}}).result, 1);
    coilServiceNode* sr = findCoilServiceNode("1", 100);
    mira::setConditionEnabled("COIL", "DebugSummary", true);
    for (uint16_t p : {3, 4}) {
        sr->target.inPif = sr->target.inLif = {1, p};
        coilPortControlCreate(sr);
        const uint32_t word = port(1, p);
        vlanLibSetPortAdminState(&word, 1, 0);
    }
    coilPortControlGet(port(1, 3))->timeDisabled -= 45;
    coilPortControlGet(port(1, 4))->timeDisabled -= 60;
    h.advance(1);

    EXPECT_EQ(coilHandleLoadConfigEvent(2), 0);
    EXPECT_TRUE(h.logHas("activateCoilService() duration(14) = disablePortDuration(60) - timeDiff(46)"));
    EXPECT_TRUE(h.logHas("activateCoilService() Warning. Calculated duration(-1) was negative!"));
    EXPECT_TRUE(h.logHas("Enabling port 1:4. 60 second duration timer has expired."));
    h.advance(13);
    EXPECT_FALSE(mira::portEnabled(port(1, 3)));
    h.advance(1);
    EXPECT_TRUE(mira::portEnabled(port(1, 3)));
    EXPECT_EQ(mira::ownProcessState(), 9);
}

TEST_F(Handlers, DumpsWithNothingInThemAndAnInvalidDebugCommand) {
    const uint8_t systemMac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    std::memcpy(coilGlobal.gSystemMac, systemMac, sizeof systemMac);
    testing::internal::CaptureStdout();
    debugDumpGlobal();
    const std::string global = testing::internal::GetCapturedStdout();
    EXPECT_EQ(global.rfind("\nDumping Global Info\n-------------------\nroot1: ", 0), 0u);
    const uint8_t* da = coilGlobal.gCoilDa;
    char macLines[80];
    std::snprintf(macLines, sizeof macLines, "02:11:22:33:44:55\ngCoilRxTxFd:%d  gCoilDa: %02x:%02x:%02x:%02x:%02x:%02x\n",
                  coilGlobal.gCoilRxTxFd, da[0], da[1], da[2], da[3], da[4], da[5]);
    EXPECT_NE(global.find(macLines), std::string::npos) << global;
    testing::internal::CaptureStdout();
    debugDumpControlPortList();
    debugDumpServiceList();
    EXPECT_EQ(h.set("coilDebug", {{"cmd", "4"}}).result, 1);  // without a wait time: changes nothing
    EXPECT_EQ(h.set("coilDebug", {{"disablePortWaitTime", "4"}}).result, 1);  // without a command: likewise
    h.set("coilDebug", {{"cmd", "7"}});
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nDumping Control Port List\n-------------------------\n"
              "\nDumping Service Object List\n---------------------------\nInvalid debug command action 7\n");
    EXPECT_EQ(coilGlobal.disablePortWaitTime, 2);
}

}  // namespace
