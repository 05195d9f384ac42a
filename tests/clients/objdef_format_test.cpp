// XML rendering of the five configuration object records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "clients/coil_objdef.h"
#include "dm.h"
#include "mira/core/cm.h"

namespace {

class ObjdefFormat : public ::testing::Test {
protected:
    void SetUp() override {
        dmConfig.slotCount = 4;
        dmConfig.slotFirst = 1;
    }
    const cmInfoEntry_t* info(uint32_t id) { return coilObjectInfoEntry(id); }
    mira::CmRequest req;
};

TEST_F(ObjdefFormat, GlobalCfgFieldsInOrderAndRowStatusOnlyOnRequest) {
    coilGlobalCfg_t* r = coilGlobalCfg_t_alloc();
    ASSERT_NE(r, nullptr);
    r->enable = 1;
    r->clearCounter = 0;
    r->rxpkts = 4000000000u;
    r->rowStatus = CM_ROW_DESTROY;  // never rendered from its value
    r->disablePortWaitTime = 65535;
    r->txpkts = 9;
    r->coilClients = 3;
    coilGlobalCfg_t_format(req.get(), info(COIL_ID_COIL_GLOBAL_CFG), r);
    EXPECT_EQ(req.output(),
              "<coilGlobalCfg><enable>true</enable><clearCounter>false</clearCounter><rxpkts>4000000000</rxpkts>"
              "<disablePortWaitTime>65535</disablePortWaitTime><txpkts>9</txpkts><coilClients>3</coilClients>"
              "</coilGlobalCfg>");

    bufferReset(&req->output);
    req->flags = CM_FLAG_ROW_STATUS_OUTPUT;
    coilFieldClearPresent(r->bitmap, COIL_GCFG_ROW_STATUS);
    coilFieldClearPresent(r->bitmap, COIL_GCFG_ENABLE);
    coilGlobalCfg_t_format(req.get(), nullptr, r);  // no info: no object tags
    EXPECT_EQ(req.output(),
              "<clearCounter>false</clearCounter><rxpkts>4000000000</rxpkts><rowStatus>active</rowStatus>"
              "<disablePortWaitTime>65535</disablePortWaitTime><txpkts>9</txpkts><coilClients>3</coilClients>");
    coilGlobalCfg_t_free(r);
}

TEST_F(ObjdefFormat, ServiceNodeWithEveryFieldAndRowStatusBetweenRxpktsAndAction) {
    coilServiceNode_t* r = coilServiceNode_t_alloc();
    ASSERT_NE(r, nullptr);
    r->vlanIfInstance = 1001;
    std::strcpy(r->clientIdentifier, "1");
    r->disablePort = 1;
    r->interval = 600;
    std::strcpy(r->vlan, "blue");
    r->clientType = 2;
    r->txpkts = 12;
    r->retry = 255;
    ASSERT_TRUE(STRING_TO_PORTLIST("1:1-1:4,2:3", &r->ports));
    r->rxpkts = 2;
    r->action = 3;
    r->disablePortDuration = 30;
    r->numPorts = 5;
    r->pollType = 2;
    coilFieldClearPresent(r->bitmap, COIL_SN_ROW_STATUS);
    req->flags = CM_FLAG_ROW_STATUS_OUTPUT;
    coilServiceNode_t_format(req.get(), info(COIL_ID_COIL_SERVICE_NODE), r);
    EXPECT_EQ(req.output(),
              "<coilServiceNode><vlanIfInstance>1001</vlanIfInstance>"
              "<clientIdentifier><![CDATA[1]]></clientIdentifier><disablePort>1</disablePort>"
              "<interval>600</interval><vlan><![CDATA[blue]]></vlan><clientType>2</clientType>"
              "<txpkts>12</txpkts><retry>255</retry><ports>1:1-1:4,2:3</ports><rxpkts>2</rxpkts>"
              "<rowStatus>active</rowStatus><action>3</action><disablePortDuration>30</disablePortDuration>"
              "<numPorts>5</numPorts><pollType>2</pollType></coilServiceNode>");
    coilServiceNode_t_free(r);
}

TEST_F(ObjdefFormat, EmptyTextsAndEmptyPortListUseTheirShortForms) {
    coilServiceNode_t* r = coilServiceNode_t_alloc();
    ASSERT_NE(r, nullptr);
    std::memset(r->bitmap, 0, sizeof r->bitmap);
    for (unsigned k : {COIL_SN_CLIENT_IDENTIFIER, COIL_SN_VLAN, COIL_SN_PORTS}) coilFieldSetPresent(r->bitmap, k);
    coilServiceNode_t_format(req.get(), info(COIL_ID_COIL_SERVICE_NODE), r);
    EXPECT_EQ(req.output(), "<coilServiceNode><clientIdentifier/><vlan/><ports></ports></coilServiceNode>");
    coilServiceNode_t_free(r);
}

TEST_F(ObjdefFormat, DisabledPortStatusAndServiceStatus) {
    coilDisabledPortStatus_t* d = coilDisabledPortStatus_t_alloc();
    ASSERT_NE(d, nullptr);
    d->disabledPort = 0x00020011;
    std::strcpy(d->timeDisabled, "Thu May 28 08:26:40 2026\n");
    d->disablePortDuration = 0;
    coilDisabledPortStatus_t_format(req.get(), info(COIL_ID_COIL_DISABLED_PORT_STATUS), d);
    EXPECT_EQ(req.output(),
              "<coilDisabledPortStatus><disabledPort>2:17</disabledPort>"
              "<timeDisabled><![CDATA[Thu May 28 08:26:40 2026\n]]></timeDisabled>"
              "<disablePortDuration>0</disablePortDuration><vlan/></coilDisabledPortStatus>");
    coilDisabledPortStatus_t_free(d);

    bufferReset(&req->output);
    coilServiceStatus_t* s = coilServiceStatus_t_alloc();
    ASSERT_NE(s, nullptr);
    s->vlanIfInstance = 7;
    std::memset(s->clientIdentifier, 'c', 63);
    s->statusFlag = 1;
    s->pollCount = 65535;
    std::strcpy(s->vlan, "red");
    std::memset(s->statusString, 's', 255);
    coilServiceStatus_t_format(req.get(), info(COIL_ID_COIL_SERVICE_STATUS), s);
    EXPECT_EQ(req.output(), "<coilServiceStatus><vlanIfInstance>7</vlanIfInstance><clientIdentifier><![CDATA[" +
                                std::string(63, 'c') +
                                "]]></clientIdentifier><statusFlag>1</statusFlag><pollCount>65535</pollCount>"
                                "<vlan><![CDATA[red]]></vlan><statusString><![CDATA[" +
                                std::string(255, 's') + "]]></statusString></coilServiceStatus>");
    coilServiceStatus_t_free(s);
}

TEST_F(ObjdefFormat, DebugAndEmptyBitmapsAppendToTheBuffer) {
    coilDebug_t* r = coilDebug_t_alloc();
    ASSERT_NE(r, nullptr);
    r->cmd = -5;
    r->disablePortWaitTime = 4;
    bufferPuts(&req->output, "<x/>");
    coilDebug_t_format(req.get(), info(COIL_ID_COIL_DEBUG), r);
    EXPECT_EQ(req.output(), "<x/><coilDebug><cmd>-5</cmd><disablePortWaitTime>4</disablePortWaitTime></coilDebug>");

    bufferReset(&req->output);
    std::memset(r->bitmap, 0, sizeof r->bitmap);
    req->flags = CM_FLAG_ROW_STATUS_OUTPUT;  // coilDebug has no rowStatus
    coilDebug_t_format(req.get(), info(COIL_ID_COIL_DEBUG), r);
    EXPECT_EQ(req.output(), "<coilDebug></coilDebug>");
    coilDebug_t_free(r);

    // Every type with an empty bitmap renders only its tags.
    struct Empty {
        uint32_t id;
        const char* xml;
    } cases[] = {
        {COIL_ID_COIL_GLOBAL_CFG, "<coilGlobalCfg></coilGlobalCfg>"},
        {COIL_ID_COIL_SERVICE_NODE, "<coilServiceNode></coilServiceNode>"},
        {COIL_ID_COIL_SERVICE_STATUS, "<coilServiceStatus></coilServiceStatus>"},
        {COIL_ID_COIL_DISABLED_PORT_STATUS, "<coilDisabledPortStatus></coilDisabledPortStatus>"},
    };
    req->flags = 0;
    for (const Empty& c : cases) {
        bufferReset(&req->output);
        cmObject_t* node = cmObjectAlloc(info(c.id));  // its record's bitmap is cleared
        ASSERT_NE(node, nullptr);
        cmBackendConvert(req.get(), node);
        EXPECT_EQ(req.output(), c.xml);
        cmObjectFree(node, CM_FREE_RECORDS | CM_FREE_NODE);
    }
}

}  // namespace
