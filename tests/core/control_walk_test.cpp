// The configuration manager's walk: repeated next requests, each keyed by
// the record the step before returned.
#include <gtest/gtest.h>

#include <set>

#include "engine/coil.h"
#include "mira/core/cmmgr.h"
#include "mira/control/control_xml.h"
#include "mira/sim/switch.h"
#include "support/harness.h"

namespace {

using coiltest::Harness;
using coiltest::port;
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

std::string key(const XmlRecord& r) { return *r.find("clientIdentifier") + "/" + *r.find("vlan"); }

class ServiceWalk : public ::testing::Test {
protected:
    void SetUp() override {
        // Configured out of key order: the walk must not follow creation.
        ASSERT_EQ(h.configure("red", {{"interval", "5"}}).result, 1);
        ASSERT_EQ(h.configure("blue", {{"interval", "5"}}, "2").result, 1);
        ASSERT_EQ(h.configure("blue", {{"interval", "5"}}).result, 1);
    }
    Harness h;
};

TEST_F(ServiceWalk, VisitsEveryServiceInKeyOrder) {
    std::vector<std::string> steps;
    mira::CmResult r = mira::cmWalk("coilServiceNode", {}, 0, &steps);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.result, 1) << "the step after the last entry finds none";
    ASSERT_EQ(r.records, 3);
    auto recs = records(steps);
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(key(recs[0]), "1/blue");
    EXPECT_EQ(key(recs[1]), "1/red");
    EXPECT_EQ(key(recs[2]), "2/blue");
    EXPECT_EQ(r.output, steps[0] + steps[1] + steps[2]);
}

TEST_F(ServiceWalk, StartsAfterAGivenKeyAndEndsAtOnceOnAKeyWithoutService) {
    std::vector<std::string> steps;
    auto r = mira::cmWalk("coilServiceNode", {{"clientIdentifier", "1"}, {"vlanIfInstance", "100"}}, 0, &steps);
    auto recs = records(steps);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(key(recs[0]), "1/red");
    EXPECT_EQ(key(recs[1]), "2/blue");

    // Instance 150 lies between the two services of client 1, but has none.
    steps.clear();
    r = mira::cmWalk("coilServiceNode", {{"clientIdentifier", "1"}, {"vlanIfInstance", "150"}}, 0, &steps);
    EXPECT_EQ(r.records, 0);
    EXPECT_EQ(r.result, 1);
    EXPECT_TRUE(r.output.empty());
}

TEST_F(ServiceWalk, GlobalSettingsTakeOneStepAndFlagsReachTheRecords) {
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

TEST(DisabledPortWalk, ReturnsEveryDisabledPortOnce) {
    Harness h;
    ASSERT_EQ(h.configure("blue", {{"interval", "1"}, {"disablePort", "1"}, {"disablePortDuration", "0"}}).result, 1);
    ASSERT_TRUE(mira::cablePorts(port(1, 1), port(1, 2)));
    ASSERT_TRUE(mira::cablePorts(port(1, 3), port(1, 4)));
    h.advance(15);  // both loops found, one port each, the guard window apart

    std::set<uint32_t> expected;
    for (coilPortControl* p = coilPortControlGetFirst(); p; p = coilPortControlGetNext(p))
        expected.insert(uint32_t(p->inPif.slot) << 16 | p->inPif.port);
    ASSERT_EQ(expected.size(), 2u);

    std::vector<std::string> steps;
    auto r = mira::cmWalk("coilDisabledPortStatus", {}, 0, &steps);
    EXPECT_EQ(r.records, 2);
    std::set<std::string> seen;
    for (const XmlRecord& rec : records(steps)) {
        seen.insert(*rec.find("disabledPort"));
        EXPECT_EQ(*rec.find("vlan"), "blue");
    }
    std::set<std::string> want;
    for (uint32_t w : expected) want.insert(mira::portText(w));
    EXPECT_EQ(seen, want);
}

}  // namespace
