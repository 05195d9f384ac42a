// The main of every test executable: each test starts on a fresh daemon and
// platform, so a whole run in any order (--gtest_shuffle) passes or fails
// as each test would alone.
#include <gtest/gtest.h>

#include "support/reset.h"

namespace {

class FreshState : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { coiltest::resetDaemonAndPlatform(); }
    void OnTestEnd(const testing::TestInfo&) override { coiltest::resetDaemonAndPlatform(); }
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new FreshState);
    return RUN_ALL_TESTS();
}
