// coilctl's output for programs, through the real programs: every --xml
// reply is one document that xmllint accepts, every --json reply one object
// that python's json module accepts, with typed values, and refusals carry
// "status": "error" and exit 1 in each format.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "support/coild_process.h"

namespace {

using coiltest::CoildProcess;
using coiltest::Outcome;

const char* const kChassis =
    "chassis mac 02:00:00:c0:11:01 slots 2 first 1 ports 8\n"
    "vlan blue instance 1 tag 100 ports 1:1-1:4\n"
    "vlan red instance 2 tag 200 ports 2:1-2:4\n"
    "cable 1:1 1:2\n";

class ToolOutput : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        coild = new CoildProcess;
        ASSERT_TRUE(coild->start(kChassis)) << coild->errors();
        ASSERT_EQ(coild->ctl({"enable"}).status, 0);
        ASSERT_EQ(coild->ctl({"configure", "blue", "interval", "1", "disable-port", "30"}).status, 0);
        ASSERT_TRUE(coiltest::within(10, [] { return coild->ctl({"show", "disabled-ports"}).out.find("1:") !=
                                                      std::string::npos; }));
    }
    static void TearDownTestSuite() {
        delete coild;
        coild = nullptr;
    }
    // The validator's exit status on the text.
    static int validate(const std::string& command, const std::string& text) {
        const std::string path = coild->base + "/output";
        std::ofstream(path) << text;
        return std::system((command + " '" + path + "' >/dev/null 2>&1").c_str());
    }
    static CoildProcess* coild;
};
CoildProcess* ToolOutput::coild = nullptr;

TEST_F(ToolOutput, EveryReplyIsOneValidDocumentInEachFormat) {
    const std::vector<std::pair<std::vector<std::string>, int>> commands = {
        {{"show"}, 0},
        {{"show", "services"}, 0},
        {{"show", "status", "blue"}, 0},
        {{"show", "disabled-ports"}, 0},
        {{"debug", "dump", "global"}, 0},
        {{"lab", "ports"}, 0},
        {{"configure", "blue"}, 1},
        {{"show", "status", "red"}, 1},
        {{"lab", "cable", "1:1", "9:9"}, 1},
    };
    const std::regex keyValueLine("([A-Za-z0-9_-]+)(\\.[A-Za-z0-9_-]+)*=.*");
    for (const auto& [words, status] : commands) {
        const std::string name = words[0] + (words.size() > 1 ? " " + words[1] : "");
        std::vector<std::string> args = {"--xml"};
        args.insert(args.end(), words.begin(), words.end());
        const Outcome xml = coild->ctl(args);
        EXPECT_EQ(xml.status, status) << name << xml.err;
        EXPECT_EQ(validate("xmllint --noout", xml.out), 0) << name << "\n" << xml.out;

        args[0] = "--json";
        const Outcome json = coild->ctl(args);
        EXPECT_EQ(json.status, status) << name;
        EXPECT_EQ(validate("python3 -m json.tool", json.out), 0) << name << "\n" << json.out;
        EXPECT_NE(json.out.find(status == 0 ? "\"status\":\"ok\"" : "\"status\":\"error\""), std::string::npos)
            << name << "\n" << json.out;

        args[0] = "--format=keyvalue";
        const Outcome kv = coild->ctl(args);
        EXPECT_EQ(kv.status, status) << name;
        std::istringstream lines(kv.out);
        for (std::string line; std::getline(lines, line);)
            EXPECT_TRUE(std::regex_match(line, keyValueLine)) << name << ": " << line;
    }
}

TEST_F(ToolOutput, JsonValuesAreTypedAndRefusalsNameTheirRemedy) {
    const Outcome services = coild->ctl({"--json", "show", "services"});
    for (const char* typed : {"\"interval\":1,", "\"disablePortDuration\":30,", "\"action\":3,",
                              "\"actionName\":\"report-log\"", "\"pollTypeName\":\"continuous\""})
        EXPECT_NE(services.out.find(typed), std::string::npos) << typed << "\n" << services.out;
    EXPECT_NE(coild->ctl({"--json", "show"}).out.find("\"enable\":true"), std::string::npos);
    const Outcome ports = coild->ctl({"--json", "show", "disabled-ports"});
    EXPECT_TRUE(std::regex_search(ports.out, std::regex("\"timeDisabled\":\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d"
                                                        "[+-]\\d\\d:\\d\\d\"")))
        << ports.out;

    ASSERT_EQ(coild->ctl({"disable"}).status, 0);
    const Outcome refused = coild->ctl({"configure", "red"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "COIL Client is disabled. Operation failed!\nrun coilctl enable\n");
    ASSERT_EQ(coild->ctl({"enable"}).status, 0);
}

}  // namespace
