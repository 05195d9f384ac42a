// Dispatch of requests on object nodes to the configuration handlers.
#include <gtest/gtest.h>

#include <string>

#include "clients/coil_objdef.h"
#include "engine/coil.h"
#include "mira/core/cm.h"
#include "support/cm_nodes.h"

using coiltest::Attr;

namespace {

class ObjdefAction : public ::testing::Test {
protected:
    void SetUp() override {
        coilGlobal.coilEnable = 0;
        coilGlobal.disablePortWaitTime = 2;
        req->reply = &reply;
    }
    void TearDown() override {
        cmObjectFree(&reply, CM_FREE_RECORDS);
        for (cmObject_t* n : nodes) cmObjectFree(n, CM_FREE_RECORDS | CM_FREE_NODE);
    }
    // An object node of a request with its method and attributes.
    cmObject_t* request(uint32_t objectId, uint32_t methodId, std::initializer_list<Attr*> attrs = {}) {
        cmObject_t* n = cmObjectAlloc(coilObjectInfoEntry(objectId));
        nodes.push_back(n);
        n->method = coilObjectInfoEntry(methodId);
        for (Attr* a : attrs) EXPECT_EQ(cmObjectSetData(n, a->get()), 0) << a->value;
        return n;
    }
    mira::CmRequest req;
    cmObject_t reply{};
    std::vector<cmObject_t*> nodes;
};

TEST_F(ObjdefAction, SetWithoutRowStatusRunsNoHandler) {
    Attr wait(COIL_ID_DISABLE_PORT_WAIT_TIME, "9");
    cmObject_t* n = request(COIL_ID_COIL_GLOBAL_CFG, COIL_ID_SET, {&wait});
    req->result = 7;
    bufferPuts(&req->message, "earlier. ");
    EXPECT_EQ(cmBackendAction(req.get(), n), 1);
    EXPECT_EQ(req->result, 0);
    EXPECT_EQ(req.message(), "earlier. No configuration action is specified for object coilGlobalCfg.");
    EXPECT_EQ(req->setMark, 0);
    EXPECT_EQ(coilGlobal.disablePortWaitTime, 2);

    Attr ports(COIL_ID_PORTS, "");
    cmObject_t* s = request(COIL_ID_COIL_SERVICE_NODE, COIL_ID_SET, {&ports});
    bufferReset(&req->message);
    EXPECT_EQ(cmBackendAction(req.get(), s), 1);
    EXPECT_EQ(req.message(), "No configuration action is specified for object coilServiceNode.");
}

TEST_F(ObjdefAction, SetWithRowStatusOrImpliedRowStatusRunsTheSetHandler) {
    Attr wait(COIL_ID_DISABLE_PORT_WAIT_TIME, "9"), row(COIL_ID_ROW_STATUS, "active");
    cmObject_t* n = request(COIL_ID_COIL_GLOBAL_CFG, COIL_ID_SET, {&wait, &row});
    EXPECT_EQ(cmBackendAction(req.get(), n), 1);
    EXPECT_EQ(req->result, 1);
    EXPECT_EQ(req->setMark, 1);
    EXPECT_EQ(coilGlobal.disablePortWaitTime, 9);
    EXPECT_EQ(req.message(), "");

    // Stored configuration replayed: the row status is implied.
    Attr wait2(COIL_ID_DISABLE_PORT_WAIT_TIME, "11");
    cmObject_t* replay = request(COIL_ID_COIL_GLOBAL_CFG, COIL_ID_SET, {&wait2});
    req->flags = CM_FLAG_IMPLIED_ROW_STATUS;
    req->setMark = 0;
    EXPECT_EQ(cmBackendAction(req.get(), replay), 1);
    EXPECT_EQ(req->setMark, 1);
    EXPECT_EQ(coilGlobal.disablePortWaitTime, 11);
    auto* r = static_cast<coilGlobalCfg_t*>(replay->record);
    EXPECT_EQ(r->rowStatus, ACTION_T(CM_ROW_ACTIVE));
    EXPECT_TRUE(coilFieldPresent(r->bitmap, COIL_GCFG_ROW_STATUS));

    // The service node's set handler gets its record: without a client it
    // does nothing and succeeds.
    Attr destroy(COIL_ID_ROW_STATUS, "destroy");
    cmObject_t* s = request(COIL_ID_COIL_SERVICE_NODE, COIL_ID_SET, {&destroy});
    req->flags = 0;
    req->result = 0;
    EXPECT_EQ(cmBackendAction(req.get(), s), 1);
    EXPECT_EQ(req->result, 1);
}

TEST_F(ObjdefAction, GetAndWalkRunTheGetHandler) {
    coilGlobal.coilEnable = 1;
    coilGlobal.disablePortWaitTime = 5;
    cmObject_t* n = request(COIL_ID_COIL_GLOBAL_CFG, COIL_ID_GET);
    EXPECT_EQ(cmBackendAction(req.get(), n), 1);
    EXPECT_EQ(req->result, 1);
    ASSERT_EQ(reply.info, coilObjectInfoEntry(COIL_ID_COIL_GLOBAL_CFG));
    cmBackendConvert(req.get(), &reply);
    EXPECT_EQ(req.output(),
              "<coilGlobalCfg><enable>true</enable><rxpkts>0</rxpkts><disablePortWaitTime>5</disablePortWaitTime>"
              "<txpkts>0</txpkts><coilClients>0</coilClients></coilGlobalCfg>");
    cmObjectFree(&reply, CM_FREE_RECORDS);

    // A walk step asks for the entry whatever the method says; no set runs.
    Attr row(COIL_ID_ROW_STATUS, "active"), wait(COIL_ID_DISABLE_PORT_WAIT_TIME, "30");
    cmObject_t* walk = request(COIL_ID_COIL_GLOBAL_CFG, COIL_ID_SET, {&row, &wait});
    req->flags = CM_FLAG_WALK;
    EXPECT_EQ(cmBackendAction(req.get(), walk), 1);
    EXPECT_EQ(req->setMark, 0);
    EXPECT_EQ(coilGlobal.disablePortWaitTime, 5);
    EXPECT_NE(reply.record, nullptr);

    // Status and port status gets pass the handler's result through.
    cmObjectFree(&reply, CM_FREE_RECORDS);
    req->flags = 0;
    cmObject_t* status = request(COIL_ID_COIL_SERVICE_STATUS, COIL_ID_GET);
    req->result = 9;
    EXPECT_EQ(cmBackendAction(req.get(), status), 1);
    EXPECT_EQ(req->result, 1);  // not an exact get: nothing to show
    cmObject_t* ports = request(COIL_ID_COIL_DISABLED_PORT_STATUS, COIL_ID_GET);
    req->result = 9;
    EXPECT_EQ(cmBackendAction(req.get(), ports), 1);
    EXPECT_EQ(req->result, 0);
}

TEST_F(ObjdefAction, DebugSetReachesItsHandler) {
    Attr cmd(COIL_ID_CMD, "4"), wait(COIL_ID_DISABLE_PORT_WAIT_TIME, "17");
    cmObject_t* n = request(COIL_ID_COIL_DEBUG, COIL_ID_SET, {&cmd, &wait});
    EXPECT_EQ(cmBackendAction(req.get(), n), 1);
    EXPECT_EQ(req->result, 1);
    EXPECT_EQ(coilGlobal.disablePortWaitTime, 17);
}

TEST_F(ObjdefAction, UnsupportedMethodsAreRefusedWithOnlyTheirMessage) {
    struct Case {
        uint32_t object, method;
        const char* message;
    } cases[] = {
        {COIL_ID_COIL_DEBUG, COIL_ID_GET, "Object coilDebug does not support method get."},
        {COIL_ID_COIL_SERVICE_STATUS, COIL_ID_SET, "Object coilServiceStatus does not support method set."},
        {COIL_ID_COIL_DISABLED_PORT_STATUS, COIL_ID_SET, "Object coilDisabledPortStatus does not support method set."},
        {COIL_ID_COIL_GLOBAL_CFG, COIL_ID_MODULE_COIL, "Object coilGlobalCfg does not support method module_coil."},
    };
    for (const Case& c : cases) {
        cmObject_t* n = request(c.object, c.method);
        bufferPuts(&req->message, "stale text");
        req->result = 5;
        EXPECT_EQ(cmBackendAction(req.get(), n), 0) << c.message;
        EXPECT_EQ(req->result, 0);
        EXPECT_EQ(req.message(), c.message);
    }

    // Objects of no known type are refused for every method.
    const cmInfoEntry_t type6{"coilOther", 40, CM_INFO_OBJECT, 6};
    cmObject_t other{&type6, coilObjectInfoEntry(COIL_ID_GET), nullptr, nullptr};
    EXPECT_EQ(cmBackendAction(req.get(), &other), 0);
    EXPECT_EQ(req.message(), "Object coilOther does not support method get.");
    EXPECT_EQ(reply.record, nullptr);
}

}  // namespace
