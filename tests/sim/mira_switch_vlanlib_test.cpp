// The VLAN library as the daemon uses it: lookups, walks, trunks, forwarding
// state, administrative state and port lists, answered from the switch model.
#include <gtest/gtest.h>

#include <cstring>

#include "mira/sim/switch.h"
#include "support/topology.h"
#include "vlanlib.h"

namespace {

using mira::portWord;

constexpr const char* kTopology = R"(
chassis mac 02:00:00:00:00:01 slots 2 first 1 ports 40
trunk 3:1 members 2:7,2:8,2:9
vlan blue instance 5 tag 100 ports 1:1-1:4,3:1
vlan red  instance 6 tag 200 ports 1:2,1:5
vlan gray instance 7 tag 300 ports 1:2
)";

class VlanLibTest : public ::testing::Test {
protected:
    void SetUp() override { coiltest::loadSwitch(kTopology); }

    static vlanIf_t* vlan(const char* name) {
        vlanIf_t* v = nullptr;
        EXPECT_EQ(vlanLibGetVlanIfByName(name, &v), 1) << name;
        return v;
    }

    static lif_t* lif(uint16_t slot, uint16_t port) {
        lif_t* l = nullptr;
        EXPECT_EQ(vlanLibGetLifBySlotPort(slot, port, &l), 1);
        return l;
    }

    static std::vector<uint32_t> vlanWalk(vlanIf_t* v) {
        std::vector<uint32_t> out;
        for (vpif_t* vp = getFirstVpifOnVlan(v); vp; vp = getNextVpifOnVlan(v, vp->lif)) {
            EXPECT_EQ(vp->vlanIf, v);
            out.push_back(vp->lif->portInstance);
        }
        return out;
    }

    static std::vector<std::string> portWalk(lif_t* l) {
        std::vector<std::string> out;
        for (vpif_t* vp = vlanLibGetFirstVpifOnPort(l); vp; vp = vlanLibGetNextVpifOnPort(l, vp->vlanIf)) {
            EXPECT_EQ(vp->lif, l);
            out.push_back(vp->vlanIf->name);
        }
        return out;
    }
};

TEST_F(VlanLibTest, LookupsFindTheRecords) {
    vlanIf_t* byName = vlan("blue");
    vlanIf_t* byInstance = nullptr;
    ASSERT_EQ(vlanLibGetVlanIfByInstance(5, &byInstance), 1);
    EXPECT_EQ(byName, byInstance);
    EXPECT_STREQ(byName->name, "blue");
    EXPECT_EQ(byName->tag, 100);
    EXPECT_EQ(byName->numVpifs, 5);
    EXPECT_EQ(vlanWalk(byName), (std::vector<uint32_t>{portWord(1, 1), portWord(1, 2), portWord(1, 3), portWord(1, 4),
                                                       portWord(3, 1)}));
    EXPECT_EQ(portWalk(lif(1, 2)), (std::vector<std::string>{"blue", "red", "gray"}));
    EXPECT_EQ(vlanLibGetVlanIfByName("Blue", &byName), 0);
    EXPECT_EQ(vlanLibGetVlanIfByInstance(100, &byInstance), 0);

    // A single port: port-instance word with kind 0, its physical port.
    lif_t* l = lif(1, 33);
    ASSERT_TRUE(l && l->pif);
    EXPECT_EQ(l->portInstance, 0x00010021u);
    EXPECT_EQ(l->pif->portInstance, l->portInstance);
    EXPECT_EQ(getNextPifOnLif(l, getFirstPifOnLif(l)), nullptr);
    EXPECT_FALSE(isPortATrunk(l));
    uint32_t word = l->portInstance;  // disabled and enabled by the daemon's cuts: Loop, Returns (tests/engine)
    EXPECT_EQ(vlanLibSetPortAdminState(&word, 1, 2), -1);

    // Valid slot but no such port: 1 and no record. Invalid slot: failure.
    lif_t* none = reinterpret_cast<lif_t*>(1);
    EXPECT_EQ(vlanLibGetLifBySlotPort(1, 41, &none), 1);
    EXPECT_EQ(none, nullptr);
    EXPECT_NE(vlanLibGetLifBySlotPort(0, 0, &none), 1);
    EXPECT_NE(vlanLibGetLifBySlotPort(4, 1, &none), 1);
}

TEST_F(VlanLibTest, TrunkIsOneLogicalPortWithItsMembers) {
    lif_t* t = lif(3, 1);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(isPortATrunk(t));
    EXPECT_TRUE(isPortPartOfTrunk(t));
    EXPECT_EQ(t->pif, nullptr);
    // Every member's slot and port lead to the trunk (the daemon walks the
    // members when it cuts a trunk: Returns.AReturnOnATrunkMemberCutsTheWholeTrunk).
    EXPECT_EQ(lif(2, 8), t);
    const vpif_t* vp = vlanLibGetVpifByVlanInstanceAndPortInstance(5, portWord(2, 9));
    ASSERT_TRUE(vp && vp->lif == t);

    // Active member: an enabled member with link beats an enabled one without
    // (frames take it: FabricTest.TrunkMembers...); with every member disabled there is none.
    EXPECT_EQ(vlanLibGetActivePortOnLif(t)->portInstance, portWord(2, 7));
    EXPECT_EQ(vlanLibIsPortLinkUp(portWord(3, 1)), 0) << "no member has link";
    ASSERT_TRUE(mira::cablePorts(portWord(2, 8), portWord(1, 40)));
    EXPECT_EQ(vlanLibIsPortLinkUp(portWord(3, 1)), 1);
    EXPECT_EQ(vlanLibGetActivePortOnLif(t)->portInstance, portWord(2, 8));
    ASSERT_TRUE(mira::setPortEnabled(portWord(2, 8), false));
    EXPECT_EQ(vlanLibGetActivePortOnLif(t)->portInstance, portWord(2, 7));
    ASSERT_TRUE(mira::setPortEnabled(portWord(3, 1), false));
    EXPECT_EQ(vlanLibGetActivePortOnLif(t), nullptr);
    EXPECT_EQ(mira::trunkActiveMember(portWord(3, 1)), 0u);
}

}  // namespace
