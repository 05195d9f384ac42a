// Topology files: what a valid file builds, and that a bad one is refused
// with its file, line and reason while the switch stays as it was.
#include <gtest/gtest.h>

#include "dm.h"
#include "mira/sim/switch.h"
#include "support/topology.h"

namespace {

using mira::portWord;

TEST(Topology, DirectivesBuildTheModel) {
    coiltest::loadSwitch(R"(
        # leading comment
        chassis ports 8 slots 2 mac 0A:0b:0c:0d:0e:0f first 3   # keywords in any order
        trunk 9:1 members 3:7-8
        vlan v1 instance 10 tag 10 ports 3:1-3:3,4:1-2,9:1
        vlan v2 instance 11 tag 11
        block v1 3:2,9:1
        cable 3:1 4:1
        hub lab 3:4,3:5,3:6
        disable 4:2,9:1
    )");

    EXPECT_EQ(dmConfig.slotFirst, 3u);
    EXPECT_EQ(dmConfig.slotCount, 2u);
    EXPECT_EQ(mira::vlanPorts("v1"), (std::vector<uint32_t>{portWord(3, 1), portWord(3, 2), portWord(3, 3),
                                                            portWord(4, 1), portWord(4, 2), portWord(9, 1)}));
    EXPECT_TRUE(mira::vlanPorts("v2").empty());
    EXPECT_TRUE(mira::portBlocked("v1", portWord(3, 2)));
    EXPECT_TRUE(mira::portBlocked("v1", portWord(9, 1)));
    EXPECT_FALSE(mira::portBlocked("v1", portWord(3, 1)));
    EXPECT_EQ(mira::cablePeer(portWord(3, 1)), portWord(4, 1));
    EXPECT_EQ(mira::hubOf(portWord(3, 5)), "lab");
    EXPECT_FALSE(mira::portEnabled(portWord(4, 2)));
    EXPECT_FALSE(mira::portEnabled(portWord(3, 7)));  // trunk members disabled with it
    EXPECT_FALSE(mira::portEnabled(portWord(3, 8)));
    EXPECT_EQ(mira::trunkActiveMember(portWord(9, 1)), 0u);
    EXPECT_TRUE(mira::portLinkUp(portWord(3, 1)));
    EXPECT_TRUE(mira::portLinkUp(portWord(3, 4)));
}

TEST(Topology, ErrorsNameFileLineAndProblem) {
    const std::string chassis = "chassis mac 02:00:00:c0:11:01 slots 4 ports 24\n";
    std::string tooMany = "1:1-1:24";  // 342 x 24 ports: more than a chassis of 32 x 256 has
    for (int i = 1; i < 342; ++i) tooMany += ",1:1-1:24";
    struct Case {
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {"", "t.topo: no chassis line"},
        {"vlan a instance 1 tag 1\n", "t.topo:1: \"vlan\" before the chassis line"},
        {chassis + chassis, "t.topo:2: second chassis line"},
        {"chassis mac 02:00:00:c0:11 slots 4 ports 24\n", "t.topo:1: bad MAC address \"02:00:00:c0:11\""},
        {"chassis mac 02:00:00:c0:11:01 ports 24\n", "t.topo:1: missing \"slots\""},
        {"chassis mac 02:00:00:c0:11:01 slots 33 ports 24\n", "t.topo:1: slot count 33 out of range (at most 32)"},
        {"chassis mac 02:00:00:c0:11:01 slots 00000000004 ports 24\n", "t.topo:1: bad slot count \"00000000004\""},
        {"chassis mac 02:00:00:c0:11:01 slots 4 ports 24 speed 10\n", "t.topo:1: unknown keyword \"speed\""},
        {"chassis mac 02:00:00:c0:11:01 slots 4 ports\n", "t.topo:1: missing value after \"ports\""},
        {chassis + "\n\nvlan blue instance 1 tag 100 ports 1:1,9:1\n", "t.topo:4: unknown port 9:1 (slots are 1..4)"},
        {chassis + "vlan blue instance 1 tag 100 ports 1:20-1:30\n", "t.topo:2: unknown port 1:25 (ports are 1..24)"},
        {chassis + "vlan blue instance 1 tag 100 ports 1:5-1:3\n", "t.topo:2: port range \"1:5-1:3\" runs backwards"},
        {chassis + "vlan blue instance 1 tag 100 ports 1:1-2:3\n", "t.topo:2: port range \"1:1-2:3\" spans slots"},
        {chassis + "vlan blue instance 1 tag 100 ports 1:1,,1:2\n",
         "t.topo:2: empty entry in port list \"1:1,,1:2\""},
        {chassis + "vlan blue instance 1 tag 100 ports 1x1\n", "t.topo:2: bad port \"1x1\" (expected slot:port)"},
        {chassis + "vlan blue instance 1 tag 100 ports " + tooMany + "\n", "t.topo:2: port list names more than 8192 ports"},
        {chassis + "vlan blue instance 1 tag 4095\n", "t.topo:2: tag 4095 out of range (at most 4094)"},
        {chassis + "vlan blue instance 1 tag 100\nvlan red instance 2 tag 100\n",
         "t.topo:3: tag 100 is already used by VLAN \"blue\""},
        {chassis + "vlan blue instance 1 tag 100\nvlan red instance 1 tag 200\n",
         "t.topo:3: VLAN instance 1 is already used"},
        {chassis + "vlan blue instance 1 tag 100\nvlan blue instance 2 tag 200\n",
         "t.topo:3: VLAN \"blue\" already exists"},
        {chassis + "vlan abcdefghijklmnopqrstuvwxyz012345 instance 1 tag 100\n",
         "t.topo:2: VLAN name \"abcdefghijklmnopqrstuvwxyz012345\" is longer than 31 characters"},
        {chassis + "vlan blue instance 1 tag 100 ports 1:1,1:1\n", "t.topo:2: port 1:1 is already in VLAN \"blue\""},
        {chassis + "trunk 5:1 members 1:1,1:2\nvlan blue instance 1 tag 100 ports 1:2\n",
         "t.topo:3: port 1:2 is a member of trunk 5:1"},
        {chassis + "trunk 1:3 members 1:1\n", "t.topo:2: trunk port 1:3 is a physical port"},
        {chassis + "trunk 5:1 members 1:1\ntrunk 5:2 members 1:1\n",
         "t.topo:3: port 1:1 is already a member of trunk 5:1"},
        {chassis + "vlan blue instance 1 tag 100 ports 1:1\ntrunk 5:1 members 1:1\n",
         "t.topo:3: port 1:1 is a VLAN member and cannot join a trunk"},
        {chassis + "block blue 1:1\n", "t.topo:2: unknown VLAN \"blue\""},
        {chassis + "vlan blue instance 1 tag 100 ports 1:1\nblock blue 1:2\n",
         "t.topo:3: port 1:2 is not in VLAN \"blue\""},
        {chassis + "cable 1:1 1:2\ncable 1:2 1:3\n", "t.topo:3: port 1:2 is already cabled to 1:1"},
        {chassis + "cable 1:1 1:1\n", "t.topo:2: cannot cable port 1:1 to itself"},
        {chassis + "hub h 1:1,1:2\ncable 1:2 1:3\n", "t.topo:3: port 1:2 is already in hub h"},
        {chassis + "hub h 1:1\n", "t.topo:2: hub h needs at least two ports"},
        {chassis + "trunk 5:1 members 1:1\ncable 5:1 1:2\n",
         "t.topo:3: trunk 5:1 cannot be cabled; cable its members"},
        {chassis + "disable 4:25\n", "t.topo:2: unknown port 4:25 (ports are 1..24)"},
        {chassis + "frobnicate 1:1\n", "t.topo:2: unknown directive \"frobnicate\""},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(mira::loadTopology(c.text, "t.topo", &error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

}  // namespace
