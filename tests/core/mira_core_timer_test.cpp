// The timer service: due ticks, order and ties, changes made from inside an
// expiry, periodic re-arm and stale handles.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kytimer.h"

namespace {

class MiraCoreTimer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(kyTimerInit(&ctx, 0, 0), 0); }
    struct Probe {
        MiraCoreTimer* test;
        std::string name;
    };
    kyTimerHandle_t make(const std::string& name, uint32_t seconds, int kind = KY_TIMER_ONESHOT) {
        probes.push_back(std::make_unique<Probe>(Probe{this, name}));
        return kyTimerCreate(&fired, probes.back().get(), seconds, kind, &ctx);
    }
    static void fired(void* arg) {
        auto* p = static_cast<Probe*>(arg);
        p->test->log.push_back(p->name + "@" + std::to_string(p->test->ctx.ticks));
        if (p->test->onFire) p->test->onFire(p->name);
    }
    void ticks(int n) {
        for (int i = 0; i < n; ++i) ASSERT_EQ(kyProcTimer(&ctx), 0);
    }

    kyTimerCtx_t ctx{};
    std::vector<std::unique_ptr<Probe>> probes;
    std::vector<std::string> log;
    std::function<void(const std::string&)> onFire;
};

TEST_F(MiraCoreTimer, FiresAtDueTickInDueOrderWithTiesInCreationOrderAndPeriodicOnesRearm) {
    make("c", 3);
    make("a1", 1);
    make("b", 2);
    make("a2", 1);
    make("every4", 4, KY_TIMER_PERIODIC);
    ticks(1);
    EXPECT_EQ(log, (std::vector<std::string>{"a1@1", "a2@1"}));
    ticks(8);
    EXPECT_EQ(log, (std::vector<std::string>{"a1@1", "a2@1", "b@2", "c@3", "every4@4", "every4@8"}));
}

TEST_F(MiraCoreTimer, DeletionsFromInsideAnExpiry) {
    kyTimerHandle_t self = make("self", 1, KY_TIMER_PERIODIC);
    kyTimerHandle_t victim = 0;
    make("killer", 1);
    victim = make("victim", 1);  // due at the same tick, after the killer
    kyTimerHandle_t once = make("once", 2);
    onFire = [&](const std::string& name) {
        if (name == "self") {
            EXPECT_EQ(kyTimerDelete(self, &ctx), 0);
        }
        if (name == "killer") {
            EXPECT_EQ(kyTimerDelete(victim, &ctx), 0);
        }
        if (name == "once") {
            EXPECT_NE(kyTimerDelete(once, &ctx), 0);  // a one-shot in its expiry is already dead: harmless
        }
    };
    // A deleted timer's slot is reused, and its stale handle refused.
    kyTimerHandle_t gone = make("gone", 1);
    ASSERT_EQ(kyTimerDelete(gone, &ctx), 0);
    kyTimerHandle_t reused = make("reused", 1);
    EXPECT_EQ(uint32_t(reused), uint32_t(gone));
    EXPECT_NE(kyTimerDelete(gone, &ctx), 0);
    ticks(5);
    EXPECT_EQ(log, (std::vector<std::string>{"self@1", "killer@1", "reused@1", "once@2"}));
}

}  // namespace
