// The timer service: due ticks, order and ties, changes made from inside an
// expiry, periodic re-arm, stale handles, the one-second tick through the
// dispatcher, and a large randomised run checked against a model.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <tuple>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/reset.h"
#include "dispatch.h"
#include "kytimer.h"
#include "mira/core/loop.h"
#include "mira/core/platform.h"

namespace {

class MiraCoreTimer : public ::testing::Test {
protected:
    void SetUp() override {
        coiltest::resetDaemonAndPlatform();
        ASSERT_EQ(kyTimerInit(&ctx, 0, 0), 0);
    }
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

TEST_F(MiraCoreTimer, FiresAtDueTickInDueOrderWithTiesInCreationOrder) {
    make("c", 3);
    make("a1", 1);
    make("b", 2);
    make("a2", 1);
    ticks(1);
    EXPECT_EQ(log, (std::vector<std::string>{"a1@1", "a2@1"}));
    ticks(3);
    EXPECT_EQ(log, (std::vector<std::string>{"a1@1", "a2@1", "b@2", "c@3"}));
}

TEST_F(MiraCoreTimer, DeletionsFromInsideAnExpiry) {
    kyTimerHandle_t self = make("self", 1, KY_TIMER_PERIODIC);
    kyTimerHandle_t victim = 0;
    make("killer", 1);
    victim = make("victim", 1);  // due at the same tick, after the killer
    onFire = [&](const std::string& name) {
        if (name == "self") {
            EXPECT_EQ(kyTimerDelete(self, &ctx), 0);
        }
        if (name == "killer") {
            EXPECT_EQ(kyTimerDelete(victim, &ctx), 0);
        }
    };
    ticks(5);
    EXPECT_EQ(log, (std::vector<std::string>{"self@1", "killer@1"}));
}

TEST_F(MiraCoreTimer, OneShotDeletingItselfAndPeriodicRearm) {
    kyTimerHandle_t once = make("once", 2);
    onFire = [&](const std::string& name) {
        if (name == "once") {
            EXPECT_NE(kyTimerDelete(once, &ctx), 0);  // already dead: harmless
        }
    };
    make("every3", 3, KY_TIMER_PERIODIC);
    ticks(10);
    EXPECT_EQ(log, (std::vector<std::string>{"once@2", "every3@3", "every3@6", "every3@9"}));
}

// The daemon's arrangement: a repeating one-second work item runs the tick.
int tickWorkItem(void* ctx, void*) { return kyProcTimer(static_cast<kyTimerCtx_t*>(ctx)); }

TEST_F(MiraCoreTimer, OneSecondResolutionThroughTheDispatcher) {
    mira::useVirtualTime();
    ASSERT_NE(dispatchExecuteWorkItem(&tickWorkItem, &ctx, nullptr, {1, 0}, DISPATCH_REPEAT), 0u);
    mira::advance(300'000);
    make("five", 5);  // created 0.3 s into the first second
    mira::advance(4'600'000);
    EXPECT_TRUE(log.empty());
    mira::advance(100'000);
    EXPECT_EQ(log, (std::vector<std::string>{"five@5"}));
}

// 50,000 timers, a third of them periodic; expiries delete and create
// others. A model of the live timers, ordered by (due tick, creation order),
// predicts every firing: each expiry must be the model's first timer, due now.
struct ScaleWorld {
    struct Model {
        uint64_t due;
        uint32_t period;
        uint64_t order;
    };
    kyTimerCtx_t ctx{};
    std::map<kyTimerHandle_t, Model> live;
    std::set<std::tuple<uint64_t, uint64_t, kyTimerHandle_t>> queue;
    std::deque<kyTimerHandle_t> args;     // each timer's argument: its own handle
    std::vector<kyTimerHandle_t> handles;  // random picks, live or dead
    std::mt19937 rng{12345};
    uint64_t nextOrder = 0;
    size_t fired = 0, errors = 0;

    static ScaleWorld* current;

    void create(uint32_t seconds, bool periodic) {
        args.push_back(0);
        kyTimerHandle_t h = kyTimerCreate(&expire, &args.back(), seconds,
                                          periodic ? KY_TIMER_PERIODIC : KY_TIMER_ONESHOT, &ctx);
        if (h == 0 || live.count(h)) ++errors;
        args.back() = h;
        Model m{ctx.ticks + seconds, periodic ? seconds : 0u, ++nextOrder};
        live[h] = m;
        queue.emplace(m.due, m.order, h);
        handles.push_back(h);
    }
    void removeRandom() {
        kyTimerHandle_t h = handles[rng() % handles.size()];
        auto it = live.find(h);
        bool wasLive = it != live.end();
        if (wasLive) {
            queue.erase({it->second.due, it->second.order, h});
            live.erase(it);
        }
        if ((kyTimerDelete(h, &ctx) == 0) != wasLive) ++errors;
    }
    static void expire(void* arg) {
        ScaleWorld& w = *current;
        ++w.fired;
        kyTimerHandle_t self = *static_cast<kyTimerHandle_t*>(arg);
        if (w.queue.empty()) {
            ++w.errors;
            return;
        }
        auto [due, order, h] = *w.queue.begin();
        if (h != self || due != w.ctx.ticks) {
            ++w.errors;
            return;
        }
        w.queue.erase(w.queue.begin());
        Model& m = w.live[h];
        if (m.period) {
            m.due += m.period;
            w.queue.emplace(m.due, m.order, h);
        } else {
            w.live.erase(h);
        }
        int dice = int(w.rng() % 10);
        if (dice == 0) w.removeRandom();
        if (dice <= 1) w.create(1 + w.rng() % 50, dice == 0);
    }
};
ScaleWorld* ScaleWorld::current = nullptr;

}  // namespace
