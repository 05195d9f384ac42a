// Object nodes: allocation and release, filling records from attribute
// text, rendering a list of nodes, and the walk slot exchange.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "clients/coil_objdef.h"
#include "dm.h"
#include "mira/core/cm.h"
#include "support/cm_nodes.h"

using coiltest::Attr;
using coiltest::TraceCapture;

namespace {

class Objdef : public ::testing::Test {
protected:
    void SetUp() override {
        dmConfig.slotCount = 4;
        dmConfig.slotFirst = 1;
    }
    void TearDown() override {
        for (cmObject_t* node : nodes_) cmObjectFree(node, CM_FREE_RECORDS | CM_FREE_NODE);
    }
    // A node owned by the fixture.
    cmObject_t* node(uint32_t objectId) {
        cmObject_t* n = cmObjectAlloc(coilObjectInfoEntry(objectId));
        if (n) nodes_.push_back(n);
        return n;
    }
    template <typename Record>
    Record* record(cmObject_t* n) {
        return static_cast<Record*>(n->record);
    }
    std::vector<cmObject_t*> nodes_;
    TraceCapture trace;
    mira::CmRequest req;
};

TEST_F(Objdef, AllocAndFreeRefuseWrongKindsAndTypeCodes) {
    EXPECT_EQ(cmObjectAlloc(coilObjectInfoEntry(COIL_ID_GET)), nullptr);
    EXPECT_TRUE(trace.has("Invalid object info type --> 2!"));
    EXPECT_EQ(cmObjectAlloc(coilObjectInfoEntry(COIL_ID_MODULE_COIL)), nullptr);
    EXPECT_TRUE(trace.has("Invalid object info type --> 1!"));
    const cmInfoEntry_t type0{"bogus", 99, CM_INFO_OBJECT, 0};
    const cmInfoEntry_t type6{"bogus", 99, CM_INFO_OBJECT, 6};
    EXPECT_EQ(cmObjectAlloc(&type0), nullptr);
    EXPECT_TRUE(trace.has("Invalid object C type --> 0!"));
    EXPECT_EQ(cmObjectAlloc(&type6), nullptr);
    EXPECT_TRUE(trace.has("Invalid object C type --> 6!"));

    // Freeing records of such a node logs and still clears it; the record
    // it carried is not freed (it is not of a known type).
    trace.clear();
    int mine = 0;
    cmObject_t* n = cmObject_t_alloc();
    n->info = &type6;
    n->record = &mine;
    cmObjectFree(n, CM_FREE_RECORDS);
    EXPECT_TRUE(trace.has("Invalid object C type --> 6!"));
    EXPECT_EQ(n->info, nullptr);
    EXPECT_EQ(n->record, nullptr);
    n->info = coilObjectInfoEntry(COIL_ID_SET);
    cmObjectFree(n, CM_FREE_RECORDS | CM_FREE_NODE);
    EXPECT_TRUE(trace.has("Invalid object info type --> 2!"));
}

TEST_F(Objdef, SetDataFillsFieldsAndMarksThemPresent) {
    cmObject_t* n = node(COIL_ID_COIL_SERVICE_NODE);
    auto* r = record<coilServiceNode_t>(n);
    Attr attrs[] = {{COIL_ID_VLAN_IF_INSTANCE, "4294967295"}, {COIL_ID_INTERVAL, "1"},
                    {COIL_ID_PORTS, "1:1-1:2,4:3"},           {COIL_ID_ROW_STATUS, "createAndGo"},
                    {COIL_ID_VLAN, "blue"},                   {COIL_ID_RETRY, "255"}};
    for (Attr& a : attrs) EXPECT_EQ(cmObjectSetData(n, a.get()), 0) << a.value;
    EXPECT_EQ(r->vlanIfInstance, 4294967295u);
    EXPECT_EQ(r->interval, 1);
    EXPECT_EQ(r->rowStatus, ACTION_T(CM_ROW_CREATE_AND_GO));
    EXPECT_STREQ(r->vlan, "blue");
    EXPECT_EQ(r->retry, 255);
    EXPECT_EQ(r->ports.group[0][0], 0xc0000000u);
    EXPECT_EQ(r->ports.group[3][0], 0x20000000u);
    EXPECT_EQ(r->bitmap[0], 0x01 | 0x08 | 0x10 | 0x80);
    EXPECT_EQ(r->bitmap[1], 0x01 | 0x04);

    // An attribute the object does not have is ignored.
    Attr cmd(COIL_ID_CMD, "1");
    EXPECT_EQ(cmObjectSetData(n, cmd.get()), 0);
    EXPECT_EQ(r->bitmap[0], 0x01 | 0x08 | 0x10 | 0x80);
    EXPECT_TRUE(trace.lines().empty());

    EXPECT_EQ(cmObjectSetData(n, nullptr), -1);
    EXPECT_EQ(coilServiceNode_t_construct(nullptr, cmd.get()), -1);
}

TEST_F(Objdef, FailedConversionLogsItsTypeAndLeavesTheField) {
    struct Case {
        uint32_t object, attribute;
        const char* text;
        const char* message;
    } cases[] = {
        {COIL_ID_COIL_SERVICE_NODE, COIL_ID_INTERVAL, "abc", "String (\"abc\") to UINT16_T conversion failed!"},
        {COIL_ID_COIL_SERVICE_NODE, COIL_ID_TXPKTS, "-1", "String (\"-1\") to UINT32_T conversion failed!"},
        {COIL_ID_COIL_SERVICE_NODE, COIL_ID_PORTS, "9:1", "String (\"9:1\") to PORTLIST_T conversion failed!"},
        {COIL_ID_COIL_SERVICE_NODE, COIL_ID_ROW_STATUS, "go", "String (\"go\") to ACTION_T conversion failed!"},
        {COIL_ID_COIL_GLOBAL_CFG, COIL_ID_ENABLE, "maybe", "String (\"maybe\") to BOOLEAN conversion failed!"},
        {COIL_ID_COIL_DEBUG, COIL_ID_CMD, "1e3", "String (\"1e3\") to INT conversion failed!"},
        {COIL_ID_COIL_DISABLED_PORT_STATUS, COIL_ID_DISABLED_PORT, "1:1,1:2",
         "String (\"1:1,1:2\") to PORTMASK_T conversion failed!"},
        {COIL_ID_COIL_SERVICE_STATUS, COIL_ID_STATUS_FLAG, "", "String (\"\") to UINT16_T conversion failed!"},
    };
    for (const Case& c : cases) {
        cmObject_t* n = node(c.object);
        Attr a(c.attribute, c.text);
        trace.clear();
        EXPECT_EQ(cmObjectSetData(n, a.get()), -1) << c.message;
        EXPECT_TRUE(trace.has(c.message)) << c.message;
        // Nothing became present: the record renders as its tags alone.
        cmBackendConvert(req.get(), n);
        EXPECT_EQ(req.output(), "<" + std::string(n->info->name) + "></" + n->info->name + ">") << c.message;
    }

    // A failing value leaves an earlier good one, and its bit, as they were.
    cmObject_t* n = node(COIL_ID_COIL_SERVICE_NODE);
    Attr good(COIL_ID_INTERVAL, "30"), bad(COIL_ID_INTERVAL, "65536");
    ASSERT_EQ(cmObjectSetData(n, good.get()), 0);
    EXPECT_EQ(cmObjectSetData(n, bad.get()), -1);
    EXPECT_EQ(record<coilServiceNode_t>(n)->interval, 30);
    EXPECT_TRUE(coilFieldPresent(record<coilServiceNode_t>(n)->bitmap, COIL_SN_INTERVAL));
}

TEST_F(Objdef, TextsAreCutToTheirRecordsArrays) {
    const std::string id40(40, 'i'), vlan32(32, 'v');
    Attr id(COIL_ID_CLIENT_IDENTIFIER, id40), vlan(COIL_ID_VLAN, vlan32);

    cmObject_t* sn = node(COIL_ID_COIL_SERVICE_NODE);
    cmObject_t* ss = node(COIL_ID_COIL_SERVICE_STATUS);
    cmObject_t* dps = node(COIL_ID_COIL_DISABLED_PORT_STATUS);
    for (cmObject_t* n : {sn, ss}) EXPECT_EQ(cmObjectSetData(n, id.get()), 0);
    for (cmObject_t* n : {sn, ss, dps}) EXPECT_EQ(cmObjectSetData(n, vlan.get()), 0);

    EXPECT_EQ(std::string(record<coilServiceNode_t>(sn)->clientIdentifier), id40.substr(0, 31));
    EXPECT_EQ(std::string(record<coilServiceStatus_t>(ss)->clientIdentifier), id40);
    EXPECT_EQ(std::string(record<coilServiceNode_t>(sn)->vlan), vlan32);
    EXPECT_EQ(std::string(record<coilServiceStatus_t>(ss)->vlan), vlan32.substr(0, 31));
    EXPECT_EQ(std::string(record<coilDisabledPortStatus_t>(dps)->vlan), vlan32.substr(0, 31));

    // The empty text is a value too: present, rendered in its short form.
    cmObject_t* other = node(COIL_ID_COIL_SERVICE_NODE);
    Attr empty(COIL_ID_VLAN, "");
    EXPECT_EQ(cmObjectSetData(other, empty.get()), 0);
    cmBackendConvert(req.get(), other);
    EXPECT_EQ(req.output(), "<coilServiceNode><vlan/></coilServiceNode>");
}

TEST_F(Objdef, SetDataRefusesNodesThatAreNotObjects) {
    cmObject_t* attr = node(COIL_ID_VLAN);
    Attr v(COIL_ID_VLAN, "blue");
    EXPECT_EQ(cmObjectSetData(attr, v.get()), -1);
    EXPECT_TRUE(trace.has("Invalid parent container type --> 3!"));

    const cmInfoEntry_t type7{"bogus", 99, CM_INFO_OBJECT, 7};
    cmObject_t fake{&type7, nullptr, nullptr, nullptr};
    EXPECT_EQ(cmObjectSetData(&fake, v.get()), -1);
    EXPECT_TRUE(trace.has("Invalid object C type --> 7!"));
}

TEST_F(Objdef, ConvertRendersEveryRecordOfEveryNodeAndSkipsUnknownTypes) {
    cmObject_t* a = node(COIL_ID_COIL_DEBUG);
    record<coilDebug_t>(a)->cmd = 1;
    coilFieldSetPresent(record<coilDebug_t>(a)->bitmap, COIL_DBG_CMD);
    coilDebug_t* second = coilDebug_t_alloc();
    second->cmd = 2;
    std::memset(second->bitmap, 0, sizeof second->bitmap);
    coilFieldSetPresent(second->bitmap, COIL_DBG_CMD);
    record<coilDebug_t>(a)->next = second;

    const cmInfoEntry_t type0{"bogus", 99, CM_INFO_OBJECT, 0};
    cmObject_t bogus{&type0, nullptr, nullptr, nullptr};
    cmObject_t* b = node(COIL_ID_COIL_GLOBAL_CFG);
    record<coilGlobalCfg_t>(b)->enable = 1;
    coilFieldSetPresent(record<coilGlobalCfg_t>(b)->bitmap, COIL_GCFG_ENABLE);
    a->next = &bogus;
    bogus.next = b;

    bufferPuts(&req->output, "stale");
    EXPECT_EQ(cmBackendConvert(req.get(), a), 0);
    EXPECT_EQ(req.output(),
              "<coilDebug><cmd>1</cmd></coilDebug><coilDebug><cmd>2</cmd></coilDebug>"
              "<coilGlobalCfg><enable>true</enable></coilGlobalCfg>");
    EXPECT_TRUE(trace.has("Invalid object type --> 0!"));
    a->next = nullptr;
}

TEST_F(Objdef, WalkKeepsTheLastRecordAndPutsTheHeldOneInItsPlace) {
    req->flags = CM_FLAG_WALK;
    // One record: it moves to the walk slot with every bit set; the chain
    // gets the previously held record, here none.
    cmObject_t* n = node(COIL_ID_COIL_SERVICE_NODE);
    auto* r1 = record<coilServiceNode_t>(n);
    r1->retry = 1;
    coilFieldSetPresent(r1->bitmap, COIL_SN_RETRY);
    cmBackendConvert(req.get(), n);
    EXPECT_EQ(req.output(), "<coilServiceNode><retry>1</retry></coilServiceNode>");
    EXPECT_EQ(n->record, nullptr);
    ASSERT_EQ(req->walkSlot, r1);
    EXPECT_EQ(r1->bitmap[0], 0xff);
    EXPECT_EQ(r1->bitmap[1], 0xff);

    // Three records: the third is taken, the held r1 becomes the third.
    cmObject_t* m = node(COIL_ID_COIL_SERVICE_NODE);
    auto* a = record<coilServiceNode_t>(m);
    a->next = coilServiceNode_t_alloc();
    auto* b = a->next;
    b->next = coilServiceNode_t_alloc();
    auto* c = b->next;
    std::memset(c->bitmap, 0, sizeof c->bitmap);
    cmBackendConvert(req.get(), m);
    EXPECT_EQ(req->walkSlot, c);
    EXPECT_EQ(c->bitmap[0], 0xff);
    EXPECT_EQ(m->record, a);
    EXPECT_EQ(a->next, b);
    EXPECT_EQ(b->next, r1);
    EXPECT_EQ(r1->next, nullptr);

    // Objects that are not walked, and an empty chain, leave the slot alone.
    cmObject_t* status = node(COIL_ID_COIL_SERVICE_STATUS);
    void* statusRecord = status->record;
    cmObject_t* empty = node(COIL_ID_COIL_GLOBAL_CFG);
    coilGlobalCfg_t_free(record<coilGlobalCfg_t>(empty));
    empty->record = nullptr;
    status->next = empty;
    cmBackendConvert(req.get(), status);
    EXPECT_EQ(status->record, statusRecord);
    EXPECT_EQ(req->walkSlot, c);
    status->next = nullptr;

    // Without the walk flag nothing moves.
    req->flags = 0;
    cmBackendConvert(req.get(), m);
    EXPECT_EQ(req->walkSlot, c);
    EXPECT_EQ(b->next, r1);
    coilServiceNode_t_free(static_cast<coilServiceNode_t*>(req->walkSlot));
}

}  // namespace
