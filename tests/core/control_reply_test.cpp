// What a reply carries back to coilctl: the objects' XML read into records,
// the daemon's standard output captured around a request, and the
// configuration manager's walk (repeated next requests, each keyed by the
// record the step before returned).
#include <gtest/gtest.h>

#include <cstdio>

#include "mira/core/cmmgr.h"
#include "mira/core/control_dispatch.h"
#include "mira/control/control_frame.h"
#include "mira/core/control_stdout.h"
#include "mira/control/control_xml.h"
#include "support/harness.h"

namespace {

using namespace mira::control;

// "object{name=value;...}" per record.
std::string describe(const std::vector<XmlRecord>& records) {
    std::string out;
    for (const XmlRecord& r : records) {
        out += r.object + "{";
        for (const auto& [name, value] : r.attrs) out += name + "=" + value + ";";
        out += "} ";
    }
    return out;
}

TEST(ControlXml, ReadsPlainCdataAndEmptyValuesInOrder) {
    std::vector<XmlRecord> records;
    std::string error;
    ASSERT_TRUE(parseXmlRecords("<coilServiceStatus><vlanIfInstance>5</vlanIfInstance><vlan/>"
                                "<statusString><![CDATA[# LOOP <x> & \"y\"\n2 received]]></statusString>"
                                "</coilServiceStatus>\n<coilDebug></coilDebug><labPort><wire>a &lt;b&gt; &amp;</wire></labPort>",
                                &records, &error))
        << error;
    EXPECT_EQ(describe(records), "coilServiceStatus{vlanIfInstance=5;vlan=;statusString=# LOOP <x> & \"y\"\n2 received;} "
                                 "coilDebug{} labPort{wire=a <b> &;} ");
    EXPECT_EQ(records[2].find("port"), nullptr);

    // What the server writes itself comes back unchanged, "]]>" too.
    XmlRecord r{"labPort", {{"port", "1:1"}, {"wire", "hub <a&b> ]]> x"}, {"trunk", ""}}};
    ASSERT_TRUE(parseXmlRecords(formatXmlRecord(r), &records, &error)) << error;
    EXPECT_EQ(describe(records), "labPort{port=1:1;wire=hub <a&b> ]]> x;trunk=;} ");
}

TEST(ControlXml, RefusesBrokenDocuments) {
    for (const char* bad : {"<a><b>1</c></a>", "<a><b>1</b>", "<a>text</a>", "<a><b><![CDATA[x</b></a>",
                            "<a><b>&bogus;</b></a>", "plain", "<a><b>1</b></ab>"}) {
        std::vector<XmlRecord> records;
        std::string error;
        EXPECT_FALSE(parseXmlRecords(bad, &records, &error)) << bad;
        EXPECT_NE(error.find("at offset"), std::string::npos) << bad;
    }
}

TEST(ControlStdout, DumpsReachTheReplyAndStandardOutput) {
    coiltest::Harness h;
    ASSERT_EQ(h.configure("blue", {{"interval", "5"}}).result, 1);
    testing::internal::CaptureStdout();
    const std::string payload =
        answerRequest(kTypeCm, "method=set\nobject=coilDebug\nattr=cmd=2\n", "/nonexistent");
    const std::string printed = testing::internal::GetCapturedStdout();
    Message reply;
    std::string error;
    ASSERT_TRUE(parseMessage(payload, &reply, &error)) << error;
    EXPECT_EQ(reply.get("status"), "ok");
    const std::string dump = reply.get("stdout");
    EXPECT_EQ(dump.rfind("\nDumping Service Object List\n---------------------------\nSERVICE: KEY clientId:1", 0), 0u)
        << dump;
    EXPECT_EQ(printed, dump) << "the daemon's own standard output still gets the dump";

    // Nothing printed, nothing captured; a failed save is an error reply.
    EXPECT_EQ(captureStdout([] {}), "");
    ASSERT_TRUE(parseMessage(answerRequest(kTypeSave, "", "/nonexistent"), &reply, &error));
    EXPECT_EQ(reply.get("status"), "error");
    EXPECT_NE(reply.get("error").find("cannot create /nonexistent/coil.conf.tmp."), std::string::npos)
        << reply.get("error");
}

std::vector<XmlRecord> records(const std::vector<std::string>& steps) {
    std::vector<XmlRecord> out;
    for (const std::string& xml : steps) {
        std::vector<XmlRecord> one;
        std::string error;
        EXPECT_TRUE(mira::control::parseXmlRecords(xml, &one, &error)) << error;
        EXPECT_EQ(one.size(), 1u) << "one record per step: " << xml;
        out.insert(out.end(), one.begin(), one.end());
    }
    return out;
}

TEST(ServiceWalk, VisitsServicesInKeyOrderFromAGivenKeyAndGlobalSettingsInOneStep) {
    coiltest::Harness h;
    // Configured out of key order: the walk must not follow creation.
    ASSERT_EQ(h.configure("red", {{"interval", "5"}}).result, 1);
    ASSERT_EQ(h.configure("blue", {{"interval", "5"}}, "2").result, 1);
    ASSERT_EQ(h.configure("blue", {{"interval", "5"}}).result, 1);
    const struct {
        std::vector<mira::CmAttr> from;
        std::string keys;
    } cases[] = {
        {{}, "1/blue 1/red 2/blue "},
        {{{"clientIdentifier", "1"}, {"vlanIfInstance", "100"}}, "1/red 2/blue "},
        {{{"clientIdentifier", "1"}, {"vlanIfInstance", "150"}}, ""},  // between two services, but none: ends at once
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        std::vector<std::string> steps;
        mira::CmResult r = mira::cmWalk("coilServiceNode", c.from, 0, &steps);
        EXPECT_EQ(r.rc, 1);
        EXPECT_EQ(r.result, 1) << "the step after the last entry finds none";
        std::string keys, output;
        for (const XmlRecord& rec : records(steps)) keys += *rec.find("clientIdentifier") + "/" + *rec.find("vlan") + " ";
        for (const std::string& s : steps) output += s;
        EXPECT_EQ(keys, c.keys);
        EXPECT_EQ(r.records, int(steps.size()));
        EXPECT_EQ(r.output, output);
    }

    // Global settings take one step, and the flags reach the records.
    std::vector<std::string> steps;
    auto r = mira::cmWalk("coilGlobalCfg", {}, CM_FLAG_ROW_STATUS_OUTPUT, &steps);
    EXPECT_EQ(r.records, 1);
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_NE(steps[0].find("<coilClients>3</coilClients>"), std::string::npos) << steps[0];
    EXPECT_NE(steps[0].find("<rowStatus>active</rowStatus>"), std::string::npos) << steps[0];
    r = mira::cmWalk("coilNoSuchObject", {});
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.message, "Unknown object coilNoSuchObject.");
}

}  // namespace
