// What a reply carries back to coilctl: the objects' XML read into records,
// and the daemon's standard output captured around a request.
#include <gtest/gtest.h>

#include <cstdio>

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

}  // namespace
