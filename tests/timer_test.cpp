#include <gtest/gtest.h>

#include <QTimer>
#include <chrono>
#include <thread>
#include <vector>

#include "shell/Exceptions.h"
#include "shell/MessageLoop.h"
#include "shell/Timer.h"
#include "support/EventWaits.h"
#include "support/RecordingBoxes.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::Pump;
using testsupport::WaitFor;

namespace {

// A timer whose ticks are stamped, so tests can look at their spacing.
struct StampedTimer {
    TTimer timer;
    std::vector<Clock::time_point> ticks;

    void Attach() {
        timer.SetOnTimer([this](TTimer&) { ticks.push_back(Clock::now()); });
    }
    std::chrono::milliseconds SinceFirstTick(Clock::time_point start) const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(ticks.front() - start);
    }
};

}  // namespace

TEST(TimerTest, TicksOnlyWithIntervalEnabledAndHandler) {
    StampedTimer noInterval;
    noInterval.timer.SetInterval(0);
    noInterval.Attach();
    StampedTimer disabled;
    disabled.timer.SetInterval(20);
    disabled.timer.SetEnabled(false);
    disabled.Attach();
    StampedTimer noHandler;
    noHandler.timer.SetInterval(20);
    StampedTimer removed;
    removed.timer.SetInterval(20);
    removed.Attach();
    removed.timer.SetOnTimer(nullptr);
    StampedTimer running;
    running.timer.SetInterval(20);
    running.Attach();

    Pump(200ms);
    EXPECT_TRUE(noInterval.ticks.empty());
    EXPECT_TRUE(disabled.ticks.empty());
    EXPECT_TRUE(removed.ticks.empty());
    EXPECT_FALSE(noHandler.timer.Running());
    EXPECT_FALSE(removed.timer.Running());
    EXPECT_GE(running.ticks.size(), 3u);
}

TEST(TimerTest, RewritingIntervalOrEnabledKeepsThePeriodButReassigningTheHandlerRestartsIt) {
    StampedTimer kept;
    StampedTimer restarted;
    for (StampedTimer* t : {&kept, &restarted}) {
        t->timer.SetInterval(300);
        t->Attach();
    }
    const auto start = Clock::now();
    Pump(150ms);
    kept.timer.SetInterval(300);
    kept.timer.SetEnabled(true);
    restarted.Attach();
    ASSERT_TRUE(WaitFor([&] { return !kept.ticks.empty() && !restarted.ticks.empty(); }, 2s));
    EXPECT_LT(kept.SinceFirstTick(start), 400ms);
    EXPECT_GE(restarted.SinceFirstTick(start), 430ms);
}

TEST(TimerTest, EnablingGivesTheFirstTickOneIntervalLater) {
    StampedTimer t;
    t.timer.SetInterval(250);
    t.timer.SetEnabled(false);
    t.Attach();
    Pump(100ms);
    const auto start = Clock::now();
    t.timer.SetEnabled(true);
    ASSERT_TRUE(WaitFor([&] { return !t.ticks.empty(); }, 2s));
    EXPECT_GE(t.SinceFirstTick(start), 240ms);
    EXPECT_LT(t.SinceFirstTick(start), 400ms);
}

TEST(TimerTest, NoTickReachesTheHandlerAfterDestruction) {
    int ticks = 0;
    {
        TTimer timer;
        timer.SetInterval(10);
        timer.SetOnTimer([&](TTimer&) { ++ticks; });
        std::this_thread::sleep_for(50ms);  // an expiry is due when the timer goes
    }
    Pump(100ms);
    EXPECT_EQ(ticks, 0);
}

TEST(TimerTest, ASlowHandlerLowersTheRateWithoutBursts) {
    StampedTimer t;
    t.timer.SetInterval(47);
    t.timer.SetOnTimer([&](TTimer&) {
        t.ticks.push_back(Clock::now());
        std::this_thread::sleep_for(120ms);
    });
    Pump(1300ms);
    ASSERT_GE(t.ticks.size(), 5u);
    EXPECT_LE(t.ticks.size(), 12u);
    for (std::size_t i = 1; i < t.ticks.size(); ++i) {
        EXPECT_GE(t.ticks[i] - t.ticks[i - 1], 115ms) << "tick " << i << " came in a burst";
    }
}

TEST(TimerTest, ATickNeverRunsInsideAnotherTick) {
    int depth = 0;
    int deepest = 0;
    int ticks = 0;
    TTimer timer;
    timer.SetInterval(10);
    // Another source of events, so the wait inside the handler has something to wake it.
    QTimer wakeUp;
    wakeUp.start(5);
    timer.SetOnTimer([&](TTimer&) {
        ++ticks;
        deepest = std::max(deepest, ++depth);
        // Dispatching inside the handler, as a send waiting for a host lookup does.
        const auto until = Clock::now() + 60ms;
        shell::WaitUntil([&] { return Clock::now() >= until; });
        --depth;
    });
    Pump(400ms);
    EXPECT_GE(ticks, 3);
    EXPECT_EQ(deepest, 1);
}

TEST(TimerTest, AFailingHandlerIsReportedAndTheTimerKeepsRunning) {
    testsupport::ResetBoxes();
    int ticks = 0;
    TTimer timer;
    timer.SetInterval(20);
    timer.SetOnTimer([&](TTimer&) {
        ++ticks;
        throw Exception("tick " + std::to_string(ticks) + " failed");
    });
    ASSERT_TRUE(WaitFor([&] { return ticks >= 5; }, 2s));
    EXPECT_TRUE(timer.Running());
    ASSERT_GE(testsupport::Boxes().shown.size(), 4u);
    EXPECT_EQ(testsupport::Boxes().shown.front().text, "tick 1 failed.");
}

TEST(TimerTest, ARefusedTimerRaisesAndStaysStoppedWithTheNewValueStored) {
    TTimer timer;
    timer.SetOnTimer([](TTimer&) {});
    ASSERT_TRUE(timer.Running());
    try {
        timer.SetInterval(0x80000000u);
        FAIL() << "the system accepted a period it cannot keep";
    } catch (const EOutOfResources& error) {
        EXPECT_EQ(error.Message(), "タイマーを取得できません");
    }
    EXPECT_EQ(timer.Interval(), 0x80000000u);
    EXPECT_FALSE(timer.Running());
}
