// The VLAN manager's notifications: every change reaches the registered
// handlers through the loop, after the call that made it, with the
// arguments the handlers' types promise.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mira/core/loop.h"
#include "mira/sim/switch.h"
#include "support/topology.h"
#include "vlanlib.h"

namespace {

using mira::portWord;

std::vector<std::string> gEvents;
bool gDeletedVlanFound = false;

// One event line of the non-empty words.
template <typename... Words>
int note(const Words&... words) {
    std::string line;
    for (const std::string& w : {std::string(words)...})
        if (!w.empty()) line += (line.empty() ? "" : " ") + w;
    gEvents.push_back(line);
    return 0;
}
std::string dec(uint32_t v) { return std::to_string(v); }
std::string port(uint32_t word) { return mira::portText(word); }

int onDelVlan(const char* name, uint32_t instance) {
    vlanIf_t* v = nullptr;
    gDeletedVlanFound = vlanLibGetVlanIfByName(name, &v) == 1 && v->vlanIfInstance == instance;
    if (gDeletedVlanFound) v->clientWord = 0;
    return note("del", name, dec(instance));
}
int onAddPort(const char* vlan, uint32_t instance, uint32_t, uint32_t flags, uint32_t word) {
    return note("add", vlan, dec(instance), port(word), dec(flags));
}
int onRemPort(const char* vlan, uint32_t instance, uint32_t ifIndex, uint32_t flags, uint32_t word) {
    return note("rem", vlan, dec(instance), port(word), dec(flags), ifIndex ? "" : "no-ifindex");
}
int onTag(const char* vlan, uint32_t instance, uint32_t oldTag, uint32_t newTag) {
    return note("tag", vlan, dec(instance), dec(oldTag) + "->" + dec(newTag));
}
int onPortState(const uint32_t* ports, uint32_t state, uint32_t count) {
    std::string list;
    for (uint32_t i = 0; i < count; ++i) list += " " + port(ports[i]);
    return note("state", dec(state) + list);
}
int onRename(const char* oldName, const char* newName, uint32_t instance) {
    return note("rename", std::string(oldName) + "->" + newName, dec(instance));
}

class NotifyTest : public ::testing::Test {
protected:
    vlanMgrHandlers_t table{};

    void SetUp() override {
        gEvents.clear();
        coiltest::loadSwitch("chassis mac 02:00:00:00:00:01 slots 2 first 1 ports 8\n"
                             "trunk 3:1 members 2:7,2:8\n"
                             "vlan blue instance 5 tag 100 ports 1:1,3:1\n"
                             "vlan red  instance 6 tag 200 ports 1:2\n");
        vlanMgrSlot(table, VLANMGR_DEL_VLAN) = reinterpret_cast<vlanMgrSlot_t>(onDelVlan);
        vlanMgrSlot(table, VLANMGR_ADD_PORT) = reinterpret_cast<vlanMgrSlot_t>(onAddPort);
        vlanMgrSlot(table, VLANMGR_REM_PORT) = reinterpret_cast<vlanMgrSlot_t>(onRemPort);
        vlanMgrSlot(table, VLANMGR_CFG_TAG) = reinterpret_cast<vlanMgrSlot_t>(onTag);
        vlanMgrSlot(table, VLANMGR_CFG_PORT_STATE) = reinterpret_cast<vlanMgrSlot_t>(onPortState);
        vlanMgrSlot(table, VLANMGR_RENAME) = reinterpret_cast<vlanMgrSlot_t>(onRename);
        ASSERT_EQ(connectToVlanMgr(15, &table), 0);
    }
};

TEST_F(NotifyTest, EachChangeArrivesAfterTheCallWithItsArguments) {
    ASSERT_TRUE(mira::addVlanPort("blue", portWord(1, 3)));
    ASSERT_TRUE(mira::removeVlanPort("blue", portWord(3, 1)));
    ASSERT_TRUE(mira::retagVlan("blue", 101));
    ASSERT_TRUE(mira::renameVlan("blue", "navy"));
    ASSERT_TRUE(mira::setPortEnabled(portWord(1, 4), false));
    EXPECT_TRUE(gEvents.empty());  // nothing inside the calls

    mira::drain();
    EXPECT_EQ(gEvents, (std::vector<std::string>{"add blue 5 1:3 0", "rem blue 5 3:1 0", "tag blue 5 100->101",
                                                  "rename blue->navy 5", "state 0 1:4"}));
}

TEST_F(NotifyTest, DeletedVlanIsFoundByItsHandlerAndGoneAfterwards) {
    vlanIf_t* blue = nullptr;
    ASSERT_EQ(vlanLibGetVlanIfByName("blue", &blue), 1);
    blue->clientWord = 42;
    ASSERT_TRUE(mira::deleteVlan("blue"));
    std::string error;
    EXPECT_FALSE(mira::deleteVlan("blue", &error));
    EXPECT_FALSE(mira::addVlanPort("blue", portWord(1, 5), &error));
    EXPECT_FALSE(mira::createVlan("blue", 9, 900, &error));  // the name is still taken

    mira::drain();
    EXPECT_EQ(gEvents, (std::vector<std::string>{"del blue 5"}));
    EXPECT_TRUE(gDeletedVlanFound);
    vlanIf_t* v = nullptr;
    EXPECT_EQ(vlanLibGetVlanIfByName("blue", &v), 0);
    EXPECT_EQ(vlanLibGetVlanIfByInstance(5, &v), 0);
    lif_t* p11 = nullptr;
    ASSERT_EQ(vlanLibGetLifBySlotPort(1, 1, &p11), 1);
    EXPECT_EQ(getFirstVpifOnPort(p11), nullptr);

    // Its tag is free for a new VLAN at once.
    EXPECT_TRUE(mira::createVlan("sky", 9, 100, &error)) << error;
}

}  // namespace
