// The configuration manager's walk: repeated next requests, each keyed by
// the record the step before returned.
#include <gtest/gtest.h>

#include "engine/coil.h"
#include "mira/core/cmmgr.h"
#include "mira/control/control_xml.h"
#include "support/harness.h"

namespace {

using coiltest::Harness;
using mira::control::XmlRecord;

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
    Harness h;
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
