#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <thread>

#include "app/Controls.h"
#include "net/NMUDP.h"
#include "shell/ApplicationTitle.h"
#include "shell/Gathering.h"
#include "shell/Guard.h"
#include "shell/MessageLoop.h"
#include "shell/TickRoom.h"
#include "shell/Timer.h"
#include "support/EventWaits.h"
#include "support/RecordingBoxes.h"
#include "support/TestWindows.h"
#include "support/UdpPeer.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

void Post(std::function<void()> work) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(work), Qt::QueuedConnection);
}

}  // namespace

TEST(MessageLoopTest, ProcessPendingMessagesNeverBlocksAndWaitUntilSleepsBetweenEvents) {
    std::vector<int> ran;
    Post([&] { ran.push_back(1); });
    Post([&] {
        ran.push_back(2);
        Post([&] { ran.push_back(4); });  // posted while dispatching: still waiting, so taken
    });
    Post([&] { ran.push_back(3); });
    QTimer nextEvent;  // a call that waited for more would return only after this
    nextEvent.start(1000);
    auto start = Clock::now();
    shell::ProcessPendingMessages();
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 4}));

    bool done = false;
    QTimer::singleShot(400, [&] { done = true; });
    const std::clock_t cpuBefore = std::clock();  // the whole process: nothing else is busy
    start = Clock::now();
    shell::WaitUntil([&] { return done; });
    EXPECT_GE(Clock::now() - start, 390ms);
    EXPECT_LT((std::clock() - cpuBefore) * 1000 / CLOCKS_PER_SEC, 150);
}

TEST(MessageLoopTest, GuardReportsWhatEscapesAndReturns) {
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[] { throw EConvertError("'x' は整数ではありません"); }, "'x' は整数ではありません."},
        {[] { throw std::runtime_error("disk on fire"); }, "disk on fire."},
        {[] { throw 42; }, "Unknown error."},
    };
    for (const auto& [fail, shown] : cases) {
        ResetBoxes();
        shell::Guarded(fail);
        ASSERT_EQ(Boxes().shown.size(), 1u) << shown;
        EXPECT_EQ(Boxes().shown[0].text, shown);
        EXPECT_EQ(Boxes().shown[0].title, shell::ApplicationTitle());
        EXPECT_FALSE(Boxes().shown[0].fatal);
    }
}

// A close that arrives while a wait is in progress is held back until the outermost dispatch
// has returned, nested waits included.
TEST(MessageLoopTest, CloseDuringAWaitGoesAheadAfterTheOutermostDispatch) {
    auto window = MakeWindow();
    window->show();
    ASSERT_TRUE(WaitFor([&] { return window->isVisible(); }));
    bool closeAccepted = true, visibleAfterInnerWait = false, visibleAfterOuterWait = false;
    shell::Guarded([&] {
        bool closeTried = false;
        QTimer::singleShot(20, window.get(), [&] {
            closeAccepted = window->close();
            closeTried = true;
        });
        shell::WaitUntil([&] {
            if (closeTried && !visibleAfterInnerWait) {
                shell::Guarded([&] { shell::WaitUntil([] { return true; }); });
                visibleAfterInnerWait = window->isVisible();
            }
            return closeTried;
        });
        visibleAfterOuterWait = window->isVisible();
    });
    EXPECT_FALSE(closeAccepted);
    EXPECT_TRUE(visibleAfterInnerWait);
    EXPECT_TRUE(visibleAfterOuterWait);
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(shell::WaitInProgress());
}

// The same through a real send waiting for a slow lookup of the test namespace's resolver: the
// window closes after the datagram went out, or after the box of the failed lookup.
TEST(MessageLoopTest, CloseDuringALookupGoesAheadAfterTheSend) {
    if (std::getenv("UDPPHONE_TEST_NAMESPACE") == nullptr) {
        GTEST_SKIP() << "needs the test namespace's resolver";
    }
    UdpPeer peer("127.0.0.2");
    for (const std::string name : {"delay-800.ip-127-0-0-2.dns.test", "delay-500.x.invalid"}) {
        SCOPED_TRACE(name);
        ResetBoxes();
        auto window = MakeWindow(name);
        controls::SetText(window->ePort, std::to_string(peer.Port()));
        bool visibleAtOutcome = false, closedWhileWaiting = true;
        window->UDPSock->OnDataSend = [&](TNMUDP&) { visibleAtOutcome = window->isVisible(); };
        Boxes().whileOpen = [&](auto&) { visibleAtOutcome = window->isVisible(); };
        window->show();
        QTimer::singleShot(0, window->bRing, &QPushButton::click);
        QTimer::singleShot(250, window.get(), [&] {
            closedWhileWaiting = shell::WaitInProgress() && window->close();
        });
        ASSERT_TRUE(WaitFor([&] { return !window->isVisible(); }, 5s));
        EXPECT_FALSE(closedWhileWaiting);
        EXPECT_TRUE(visibleAtOutcome);
        const bool resolves = name.ends_with(".test");
        EXPECT_EQ(peer.Receive(resolves ? 2s : 0s).has_value(), resolves);
        EXPECT_EQ(Boxes().shown.size(), resolves ? 0u : 1u);
    }
    ResetBoxes();
}

// Sliced settles: in the order queued, slices of a millisecond at most that go on after the
// ticks (one after each, even where a timer leaves no room between its ticks), and everything at
// once before a nested dispatch.
TEST(MessageLoopTest, SettlesGoInSlicesInTheirOrderOnAfterTheTicksAndAtOnceBeforeANestedDispatch) {
    const struct {
        const char* name;
        std::uint32_t interval;
        bool nested;
    } cases[] = {
        {"between ticks", 20, false},
        {"a timer that leaves no room between its ticks", 1, false},
        {"a nested dispatch", 20, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TTimer timer;
        int ticks = 0;
        timer.SetInterval(c.interval);
        timer.SetOnTimer([&](TTimer&) { ++ticks; });
        struct Slice {
            int settle;
            Clock::time_point start;
            shell::SliceTime time;
        };
        std::vector<Slice> slices;
        int left[2] = {25, 3};
        auto settle = [&](int id) {
            return [&, id](const shell::SliceTime& time) {
                slices.push_back({id, Clock::now(), time});
                // A settle that takes all the time it is given.
                while (time.mayWait && Clock::now() < time.until) {
                }
                return --left[id] > 0 ? shell::SliceLeft::More : shell::SliceLeft::Nothing;
            };
        };
        {
            shell::GatherScope burst;
            shell::SettleInSlices(settle(0));
            shell::SettleInSlices(settle(1));
        }
        if (c.nested) {
            shell::ProcessPendingMessages();
            EXPECT_FALSE(shell::SettleInProgress());
        }
        ASSERT_TRUE(WaitFor([] { return !shell::SettleInProgress(); }));
        ASSERT_EQ(slices.size(), 28u);
        EXPECT_TRUE(std::is_partitioned(slices.begin(), slices.end(),
                                        [](const Slice& slice) { return slice.settle == 0; }));
        for (const Slice& slice : slices) {
            if (slice.time.mayWait) {
                EXPECT_LE(slice.time.until - slice.start, 1ms);
            }
        }
        EXPECT_EQ(slices.back().time.mayWait, !c.nested);
        if (c.interval == 1) {
            EXPECT_GT(ticks, 1) << "the settle went on between ticks";
        }
    }
}

// A settle that waits for the tick is asked again only after it, however many bursts end before
// it; putting everything in at once still goes ahead of the tick.
TEST(MessageLoopTest, ASettleWaitingForTheTickIsNotAskedAgainBeforeIt) {
    for (const bool atOnce : {false, true}) {
        SCOPED_TRACE(atOnce ? "everything at once before the tick" : "bursts before the tick");
        TTimer timer;
        int ticks = 0;
        timer.SetInterval(40);
        timer.SetOnTimer([&](TTimer&) { ++ticks; });
        std::vector<int> asked;  // the ticks seen at each slice
        {
            shell::GatherScope burst;
            shell::SettleInSlices([&](const shell::SliceTime& time) {
                asked.push_back(ticks);
                if (asked.size() == 1 && time.mayWait) {
                    return shell::SliceLeft::AfterTick;
                }
                return shell::SliceLeft::Nothing;
            });
        }
        ASSERT_EQ(asked.size(), 1u);
        const int ticksBefore = ticks;
        for (int i = 0; i < 5; ++i) {
            shell::GatherScope another;
        }
        if (atOnce) {
            shell::SettleNow();
            ASSERT_EQ(asked.size(), 2u);
            EXPECT_EQ(asked.back(), ticksBefore);
        }
        ASSERT_TRUE(WaitFor([] { return !shell::SettleInProgress(); }));
        ASSERT_EQ(asked.size(), 2u);
        if (!atOnce) {
            EXPECT_GT(asked.back(), ticksBefore);
        }
    }
}

// A slice kept off a processor (here: asleep, which the clocks cannot tell apart) takes that much
// from the room before every tick, and the room comes back within seconds.
TEST(MessageLoopTest, ASliceHeldOffAProcessorLeavesTheTicksThatMuchMoreRoom) {
    TTimer timer;
    timer.SetInterval(60'000);
    timer.SetOnTimer([](TTimer&) {});
    const auto lately = [] {
        return std::chrono::duration<double, std::milli>(*shell::TimeToNextTick() - 1ms -
                                                         shell::RoomBeforeTick())
            .count();
    };
    {
        shell::GatherScope burst;
        shell::SettleInSlices([](const shell::SliceTime&) {
            std::this_thread::sleep_for(30ms);
            return shell::SliceLeft::Nothing;
        });
    }
    const double held = lately();
    EXPECT_GE(held, 28.0);
    std::this_thread::sleep_for(1s);
    // Half of it every half second, and not all of it at once.
    EXPECT_LE(lately(), held / 4 + 1.5);
    EXPECT_GE(lately(), held / 16);
}
