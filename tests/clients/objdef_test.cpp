// The configuration objects' nodes: dispatch of requests to the handlers,
// records filled from attribute text, and their XML (whole records are
// pinned through the handlers' replies, the walk through a walk of services).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "clients/coil_objdef.h"
#include "dm.h"
#include "engine/coil.h"
#include "mira/core/cm.h"
#include "mira/core/platform.h"

namespace {

// An attribute node as the backend library hands it over: the attribute's
// entry of coilObjectInfoTable and the value text in the record slot.
struct Attr {
    std::string value;
    cmObject_t node{};
    Attr(uint32_t id, std::string text) : value(std::move(text)) {
        node.info = coilObjectInfoEntry(id);
        node.record = value.data();
    }
    cmObject_t* get() { return &node; }
};

class Objdef : public ::testing::Test {
  protected:
    void SetUp() override {
        dmConfig.slotCount = 4;
        dmConfig.slotFirst = 1;
        coilGlobal.coilEnable = 0;
        coilGlobal.disablePortWaitTime = 2;
        req->reply = &reply;
        mira::setConditionEnabled("trace", "*", true);
        mira::captureLog(&log);
    }
    void TearDown() override {
        mira::captureLog(nullptr);
        cmObjectFree(&reply, CM_FREE_RECORDS);
        for (cmObject_t* n : nodes_) cmObjectFree(n, CM_FREE_RECORDS | CM_FREE_NODE);
    }
    // A node owned by the fixture, with its method and attributes.
    cmObject_t* node(uint32_t objectId, uint32_t methodId = COIL_ID_SET, std::initializer_list<Attr*> attrs = {}) {
        cmObject_t* n = cmObjectAlloc(coilObjectInfoEntry(objectId));
        nodes_.push_back(n);
        n->method = coilObjectInfoEntry(methodId);
        for (Attr* a : attrs) EXPECT_EQ(cmObjectSetData(n, a->get()), 0) << a->value;
        return n;
    }
    template <typename Record>
    Record* record(cmObject_t* n) {
        return static_cast<Record*>(n->record);
    }
    std::string render(cmObject_t* n) {
        bufferReset(&req->output);
        cmBackendConvert(req.get(), n);
        return req.output();
    }

    // True when some line of the log (trace on) ends with the text.
    bool logged(const std::string& text) const {
        for (const std::string& line : log)
            if (line.ends_with(text)) return true;
        return false;
    }

    std::vector<cmObject_t*> nodes_;
    std::vector<std::string> log;
    mira::CmRequest req;
    cmObject_t reply{};
};

TEST_F(Objdef, SetsRunTheirHandlerOnlyWithARowStatusOrOnReplay) {
    Attr wait9(COIL_ID_DISABLE_PORT_WAIT_TIME, "9"), wait11(COIL_ID_DISABLE_PORT_WAIT_TIME, "11");
    Attr active(COIL_ID_ROW_STATUS, "active"), ports(COIL_ID_PORTS, ""), cmd(COIL_ID_CMD, "4");
    Attr wait17(COIL_ID_DISABLE_PORT_WAIT_TIME, "17"), destroy(COIL_ID_ROW_STATUS, "destroy");
    const struct {
        uint32_t object;
        std::initializer_list<Attr*> attrs;
        uint32_t flags;
        int result, waitTime;
        const char* message;  // after "earlier. "
    } cases[] = {
        {COIL_ID_COIL_GLOBAL_CFG, {&wait9}, 0, 0, 2, "No configuration action is specified for object coilGlobalCfg."},
        {COIL_ID_COIL_SERVICE_NODE, {&ports}, 0, 0, 2,
         "No configuration action is specified for object coilServiceNode."},
        {COIL_ID_COIL_GLOBAL_CFG, {&wait9, &active}, 0, 1, 9, ""},
        {COIL_ID_COIL_GLOBAL_CFG, {&wait11}, CM_FLAG_IMPLIED_ROW_STATUS, 1, 11, ""},
        {COIL_ID_COIL_DEBUG, {&cmd, &wait17}, 0, 1, 17, ""},
        {COIL_ID_COIL_SERVICE_NODE, {&destroy}, 0, 1, 17, ""},  // without a client: nothing to do
        {COIL_ID_COIL_GLOBAL_CFG, {&wait9, &active}, CM_FLAG_WALK, 1, 17, ""},  // a walk step only reads
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        cmObject_t* n = node(c.object, COIL_ID_SET, c.attrs);
        req->flags = c.flags;
        req->result = 7;
        bufferReset(&req->message);
        bufferPuts(&req->message, "earlier. ");
        EXPECT_EQ(cmBackendAction(req.get(), n), 1);
        EXPECT_EQ(req->result, c.result);
        EXPECT_EQ(coilGlobal.disablePortWaitTime, c.waitTime);
        EXPECT_EQ(req.message(), std::string("earlier. ") + c.message);
    }
    EXPECT_NE(reply.record, nullptr) << "the walk step's entry";
}

TEST_F(Objdef, GetsPassTheHandlersResultAndUnsupportedMethodsAreRefused) {
    const struct {
        uint32_t object, method;
        int returned, result;
        const char* message;
    } cases[] = {
        {COIL_ID_COIL_SERVICE_STATUS, COIL_ID_GET, 1, 1, ""},  // not an exact get: nothing to show
        {COIL_ID_COIL_DISABLED_PORT_STATUS, COIL_ID_GET, 1, 0, ""},
        {COIL_ID_COIL_DEBUG, COIL_ID_GET, 0, 0, "Object coilDebug does not support method get."},
        {COIL_ID_COIL_SERVICE_STATUS, COIL_ID_SET, 0, 0, "Object coilServiceStatus does not support method set."},
        {COIL_ID_COIL_DISABLED_PORT_STATUS, COIL_ID_SET, 0, 0,
         "Object coilDisabledPortStatus does not support method set."},
        {COIL_ID_COIL_GLOBAL_CFG, COIL_ID_MODULE_COIL, 0, 0, "Object coilGlobalCfg does not support method module_coil."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        cmObject_t* n = node(c.object, c.method);
        bufferReset(&req->message);
        if (c.returned == 0) bufferPuts(&req->message, "stale text");
        req->result = 9;
        EXPECT_EQ(cmBackendAction(req.get(), n), c.returned);
        EXPECT_EQ(req->result, c.result);
        EXPECT_EQ(req.message(), c.message);
    }
    // Objects of no known type are refused for every method.
    const cmInfoEntry_t type6{"coilOther", 40, CM_INFO_OBJECT, 6};
    cmObject_t other{&type6, coilObjectInfoEntry(COIL_ID_GET), nullptr, nullptr};
    EXPECT_EQ(cmBackendAction(req.get(), &other), 0);
    EXPECT_EQ(req.message(), "Object coilOther does not support method get.");
}

TEST_F(Objdef, SetDataFillsFieldsMarksThemPresentAndCutsTexts) {
    cmObject_t* n = node(COIL_ID_COIL_SERVICE_NODE);
    auto* r = record<coilServiceNode_t>(n);
    Attr attrs[] = {{COIL_ID_VLAN_IF_INSTANCE, "4294967295"}, {COIL_ID_INTERVAL, "1"},
                    {COIL_ID_PORTS, "1:1-1:2,4:3"},           {COIL_ID_ROW_STATUS, "createAndGo"},
                    {COIL_ID_VLAN, "blue"},                   {COIL_ID_RETRY, "255"},
                    {COIL_ID_CMD, "1"}};  // not an attribute of the object: ignored
    for (Attr& a : attrs) EXPECT_EQ(cmObjectSetData(n, a.get()), 0) << a.value;
    EXPECT_EQ(render(n), "<coilServiceNode><vlanIfInstance>4294967295</vlanIfInstance><interval>1</interval><vlan><![CDATA["
                         "blue]]></vlan><retry>255</retry><ports>1:1-1:2,4:3</ports></coilServiceNode>");
    EXPECT_EQ(r->rowStatus, ACTION_T(CM_ROW_CREATE_AND_GO));
    EXPECT_EQ(r->ports.group[3][0], 0x20000000u);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(cmObjectSetData(n, nullptr), -1);
    EXPECT_EQ(cmObjectSetData(node(COIL_ID_VLAN), attrs[4].get()), -1) << "an attribute is no object";
    EXPECT_TRUE(logged("Invalid parent container type --> 3!"));

    // Texts are cut to their record's arrays (the service status keeps 63 characters of the client).
    const std::string id40(40, 'i'), vlan32(32, 'v');
    Attr id(COIL_ID_CLIENT_IDENTIFIER, id40), vlan(COIL_ID_VLAN, vlan32);
    cmObject_t* sn = node(COIL_ID_COIL_SERVICE_NODE);
    cmObject_t* ss = node(COIL_ID_COIL_SERVICE_STATUS);
    cmObject_t* dps = node(COIL_ID_COIL_DISABLED_PORT_STATUS);
    for (cmObject_t* x : {sn, ss}) EXPECT_EQ(cmObjectSetData(x, id.get()), 0);
    for (cmObject_t* x : {sn, ss, dps}) EXPECT_EQ(cmObjectSetData(x, vlan.get()), 0);
    EXPECT_EQ(std::string(record<coilServiceNode_t>(sn)->clientIdentifier), id40.substr(0, 31));
    EXPECT_EQ(std::string(record<coilServiceStatus_t>(ss)->clientIdentifier), id40);
    EXPECT_EQ(std::string(record<coilServiceNode_t>(sn)->vlan), vlan32);
    EXPECT_EQ(std::string(record<coilServiceStatus_t>(ss)->vlan), vlan32.substr(0, 31));
    EXPECT_EQ(std::string(record<coilDisabledPortStatus_t>(dps)->vlan), vlan32.substr(0, 31));
}

TEST_F(Objdef, FailedConversionLogsItsTypeAndLeavesTheField) {
    const struct {
        uint32_t object, attribute;
        const char *text, *message;
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
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        cmObject_t* n = node(c.object);
        Attr a(c.attribute, c.text);
        log.clear();
        EXPECT_EQ(cmObjectSetData(n, a.get()), -1);
        EXPECT_TRUE(logged(c.message));
        // Nothing became present: the record renders as its tags alone.
        EXPECT_EQ(render(n), "<" + std::string(n->info->name) + "></" + n->info->name + ">");
    }
    // A failing value leaves an earlier good one, and its bit, as they were.
    cmObject_t* n = node(COIL_ID_COIL_SERVICE_NODE);
    Attr good(COIL_ID_INTERVAL, "30"), bad(COIL_ID_INTERVAL, "65536"), empty(COIL_ID_VLAN, "");
    ASSERT_EQ(cmObjectSetData(n, good.get()), 0);
    EXPECT_EQ(cmObjectSetData(n, bad.get()), -1);
    EXPECT_EQ(cmObjectSetData(n, empty.get()), 0) << "the empty text is a value too";
    EXPECT_EQ(render(n), "<coilServiceNode><interval>30</interval><vlan/></coilServiceNode>");
}

TEST_F(Objdef, ConvertRendersEveryRecordOfEveryNodeAndSkipsUnknownTypes) {
    cmObject_t* a = node(COIL_ID_COIL_DEBUG);
    record<coilDebug_t>(a)->cmd = -5;
    coilFieldSetPresent(record<coilDebug_t>(a)->bitmap, COIL_DBG_CMD);
    coilDebug_t* second = coilDebug_t_alloc();
    second->cmd = 2;
    second->disablePortWaitTime = 4;
    record<coilDebug_t>(a)->next = second;

    const cmInfoEntry_t type0{"bogus", 99, CM_INFO_OBJECT, 0};
    cmObject_t bogus{&type0, nullptr, nullptr, nullptr};
    cmObject_t* b = node(COIL_ID_COIL_GLOBAL_CFG);
    a->next = &bogus;
    bogus.next = b;

    bufferPuts(&req->output, "stale");
    req->flags = CM_FLAG_ROW_STATUS_OUTPUT;  // coilDebug has no rowStatus
    EXPECT_EQ(cmBackendConvert(req.get(), a), 0);
    EXPECT_EQ(req.output(),
              "<coilDebug><cmd>-5</cmd></coilDebug><coilDebug><cmd>2</cmd><disablePortWaitTime>4"
              "</disablePortWaitTime></coilDebug><coilGlobalCfg><rowStatus>active</rowStatus></coilGlobalCfg>");
    EXPECT_TRUE(logged("Invalid object type --> 0!"));
    a->next = nullptr;
}

}  // namespace
