#include "shell/Gathering.h"

#include <deque>
#include <utility>
#include <vector>

namespace shell {
namespace {

// About a millisecond a slice: a tick that falls due while one runs waits at most that long.
constexpr auto kSlice = std::chrono::milliseconds(1);
// Less room than this before a tick is left to the tick: a slice's fixed costs would fill it.
constexpr auto kSmallestSlice = std::chrono::microseconds(300);

// GUI thread only, like every handler.
int gatherDepth = 0;
std::vector<std::function<void()>> settles;
std::deque<SettleSlice> sliced;
bool driving = false;
bool resumeWaiting = false;

void RunOneShots() noexcept {
    // A settle may register another (it should not, but then that one runs too).
    while (!settles.empty()) {
        std::vector<std::function<void()>> now;
        now.swap(settles);
        for (auto& settle : now) {
            try {
                settle();
            } catch (...) {
                // The output is lost, not the program: nothing here may reach the event loop.
            }
        }
    }
}

void Drive(bool atOnce, bool afterTick = false) noexcept;

void ResumeAfterTick() {
    if (resumeWaiting) {
        return;
    }
    resumeWaiting = true;
    try {
        AfterNextTick([] {
            resumeWaiting = false;
            Drive(false, true);
        });
    } catch (...) {
        // Nothing could be registered: the next settle point goes on instead.
        resumeWaiting = false;
    }
}

void Drive(bool atOnce, bool afterTick) noexcept {
    RunOneShots();
    // A slice never dispatches; should one nest a settle all the same, the outer drive goes on.
    if (driving) {
        return;
    }
    // What waits for the tick waits for it however many bursts end meanwhile; asking it again
    // at each would only cost time, and a settle counting its waits would count them, not ticks.
    if (resumeWaiting && !atOnce && !afterTick) {
        return;
    }
    driving = true;
    // Right after a tick one slice goes whatever the room: with a timer that leaves none between
    // its ticks, settling still goes on.
    bool sliceAnyway = afterTick;
    while (!sliced.empty()) {
        const auto now = TickClock::now();
        const auto quietUntil = now + RoomBeforeTick();
        if (!atOnce && !sliceAnyway && quietUntil - now < kSmallestSlice) {
            ResumeAfterTick();
            break;
        }
        const auto until = atOnce        ? TickClock::time_point::max()
                           : sliceAnyway ? now + kSlice
                                         : std::min(now + kSlice, quietUntil);
        sliceAnyway = false;
        const SliceTime time{until, quietUntil, !atOnce};
        SliceLeft left = SliceLeft::Nothing;
        const auto cpuStart = ThreadTime();
        try {
            left = sliced.front()(time);
        } catch (...) {
            // As with a one-shot: what this settle held is lost, the others go on.
        }
        if (!atOnce) {
            // The slice's time off a processor: how far past its end the host may carry a slice.
            NoteHeldOff((TickClock::now() - now) - (ThreadTime() - cpuStart));
        }
        if (left == SliceLeft::Nothing) {
            sliced.pop_front();
        } else if (left == SliceLeft::AfterTick) {
            // The settles behind it keep their order: they wait as well.
            ResumeAfterTick();
            break;
        }
    }
    driving = false;
}

}  // namespace

GatherScope::GatherScope() noexcept {
    ++gatherDepth;
}

GatherScope::~GatherScope() {
    --gatherDepth;
    Settle();
}

bool Gathering() {
    return gatherDepth > 0;
}

void SettleLater(std::function<void()> settle) {
    settles.push_back(std::move(settle));
}

void SettleInSlices(SettleSlice settle) {
    sliced.push_back(std::move(settle));
}

void Settle() noexcept {
    Drive(false);
}

void SettleNow() noexcept {
    Drive(true);
}

bool SettleInProgress() {
    return !sliced.empty();
}

NestedDispatch::NestedDispatch() noexcept : outerDepth_(gatherDepth) {
    SettleNow();
    gatherDepth = 0;
}

NestedDispatch::~NestedDispatch() {
    Settle();
    gatherDepth = outerDepth_;
}

}  // namespace shell
