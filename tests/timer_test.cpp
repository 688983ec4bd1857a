#include <gtest/gtest.h>

#include <QTimer>
#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "shell/Exceptions.h"
#include "shell/MessageLoop.h"
#include "shell/Timer.h"
#include "support/EventWaits.h"
#include "support/RecordingBoxes.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

// A timer whose ticks are stamped, so tests can look at their spacing.
struct StampedTimer {
    explicit StampedTimer(std::uint32_t interval, bool enabled = true) {
        timer.SetInterval(interval);
        timer.SetEnabled(enabled);
        Attach();
    }
    void Attach() {
        timer.SetOnTimer([this](TTimer&) { ticks.push_back(Clock::now()); });
    }
    Clock::duration FirstTickAfter(Clock::time_point start) const { return ticks.front() - start; }

    TTimer timer;
    std::vector<Clock::time_point> ticks;
};

}  // namespace

TEST(TimerTest, TicksOnlyWithIntervalEnabledAndHandlerNeverAfterDestructionAndDespiteErrors) {
    ResetBoxes();
    StampedTimer noInterval(0), disabled(20, false), removed(20), failing(20);
    removed.timer.SetOnTimer(nullptr);
    failing.timer.SetOnTimer([&](TTimer&) {
        failing.ticks.push_back(Clock::now());
        throw Exception("tick " + std::to_string(failing.ticks.size()) + " failed");
    });
    TTimer noHandler;
    noHandler.SetInterval(20);
    int ticksOfDestroyed = 0;
    {
        TTimer destroyed;
        destroyed.SetInterval(10);
        destroyed.SetOnTimer([&](TTimer&) { ++ticksOfDestroyed; });
        std::this_thread::sleep_for(50ms);  // an expiry is due when the timer goes
    }
    Pump(200ms);
    for (const StampedTimer* silent : {&noInterval, &disabled, &removed}) {
        EXPECT_TRUE(silent->ticks.empty());
    }
    EXPECT_FALSE(noHandler.Running());
    EXPECT_FALSE(removed.timer.Running());
    EXPECT_EQ(ticksOfDestroyed, 0);
    // Each failed tick is reported, and the timer keeps running.
    EXPECT_GE(failing.ticks.size(), 3u);
    EXPECT_TRUE(failing.timer.Running());
    ASSERT_EQ(Boxes().shown.size(), failing.ticks.size());
    EXPECT_EQ(Boxes().shown.front().text, "tick 1 failed.");
}

TEST(TimerTest, RewritingIntervalOrEnabledKeepsThePeriodButEnablingOrANewHandlerRestartsIt) {
    StampedTimer kept(300), restarted(300), enabledLater(300, false);
    const auto start = Clock::now();
    Pump(150ms);
    const auto rearmed = Clock::now();
    kept.timer.SetInterval(300);
    kept.timer.SetEnabled(true);
    restarted.Attach();
    enabledLater.timer.SetEnabled(true);
    ASSERT_TRUE(WaitFor([&] {
        return !kept.ticks.empty() && !restarted.ticks.empty() && !enabledLater.ticks.empty();
    }));
    EXPECT_LT(kept.FirstTickAfter(start), 400ms);
    EXPECT_GE(restarted.FirstTickAfter(rearmed), 280ms);
    EXPECT_GE(enabledLater.FirstTickAfter(rearmed), 280ms);
    EXPECT_LT(enabledLater.FirstTickAfter(rearmed), 450ms);
}

TEST(TimerTest, ASlowHandlerLowersTheRateWithoutBurstsAndNeverRunsInsideItself) {
    QTimer wakeUp;  // another source of events, so the wait inside the handler wakes up
    wakeUp.start(5);
    StampedTimer t(47);
    int depth = 0, deepest = 0;
    t.timer.SetOnTimer([&](TTimer&) {
        t.ticks.push_back(Clock::now());
        deepest = std::max(deepest, ++depth);
        std::this_thread::sleep_for(60ms);
        // Then dispatching, as a send waiting for a host lookup does.
        const auto until = Clock::now() + 60ms;
        shell::WaitUntil([&] { return Clock::now() >= until; });
        --depth;
    });
    Pump(1300ms);
    ASSERT_GE(t.ticks.size(), 5u);
    EXPECT_LE(t.ticks.size(), 12u);
    for (std::size_t i = 1; i < t.ticks.size(); ++i) {
        EXPECT_GE(t.ticks[i] - t.ticks[i - 1], 115ms) << "tick " << i << " came in a burst";
    }
    EXPECT_EQ(deepest, 1);
}

TEST(TimerTest, ARefusedTimerRaisesAndStaysStoppedWithTheNewValueStored) {
    TTimer timer;
    timer.SetOnTimer([](TTimer&) {});
    ASSERT_TRUE(timer.Running());
    try {
        timer.SetInterval(0x80000000u);
        ADD_FAILURE() << "the system accepted a period it cannot keep";
    } catch (const EOutOfResources& error) {
        EXPECT_EQ(error.Message(), "タイマーを取得できません");
    }
    EXPECT_EQ(timer.Interval(), 0x80000000u);
    EXPECT_FALSE(timer.Running());
}

// What work that can wait asks before it starts: how long until the next tick of the thread.
TEST(TimerTest, TheTimeToTheNextTickCountsDownAndLeavesOutStoppedTimersAndOnesInTheirHandler) {
    TTimer slow;
    slow.SetInterval(10'000);
    slow.SetOnTimer([](TTimer&) {});
    TTimer stopped;
    stopped.SetInterval(30);  // no handler
    EXPECT_FALSE(stopped.TimeToTick());
    ASSERT_TRUE(slow.TimeToTick());
    EXPECT_GT(*slow.TimeToTick(), 9'000ms);
    EXPECT_LE(*slow.TimeToTick(), 10'000ms);

    StampedTimer fast(30);
    std::optional<std::chrono::milliseconds> ownInHandler = 0ms, threadInHandler;
    fast.timer.SetOnTimer([&](TTimer& sender) {
        fast.ticks.push_back(Clock::now());
        ownInHandler = sender.TimeToTick();
        threadInHandler = shell::TimeToNextTick();
    });
    ASSERT_TRUE(WaitFor([&] { return !fast.ticks.empty(); }));
    EXPECT_FALSE(ownInHandler) << "a timer never ticks inside its own handler";
    ASSERT_TRUE(threadInHandler);
    EXPECT_GT(*threadInHandler, 9'000ms) << "the slow one was next";

    ASSERT_TRUE(fast.timer.TimeToTick());
    EXPECT_LE(*fast.timer.TimeToTick(), 30ms);
    ASSERT_TRUE(shell::TimeToNextTick());
    EXPECT_LE(*shell::TimeToNextTick(), 30ms) << "the fast one is next now";
    std::this_thread::sleep_for(40ms);  // past due, with nothing dispatched
    EXPECT_EQ(fast.timer.TimeToTick(), 0ms);
    EXPECT_EQ(shell::TimeToNextTick(), 0ms);
}
