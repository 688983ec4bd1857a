#pragma once
// The room before the next tick. Work that the GUI thread starts on its own (putting a burst's
// lines in place, a paint, compacting the log's buffer) must end before the next tick falls due,
// or the voice's pace shows it: what does not fit waits until the tick has had its turn.

#include <chrono>
#include <functional>

namespace shell {

using TickClock = std::chrono::steady_clock;

// How long from now no tick of the GUI thread can fall due. Qt tells the time to a tick in whole
// milliseconds, rounded up, so this is one less; a day while no timer could tick.
TickClock::duration RoomBeforeTick();

// Calls `resume` from the event loop once the tick now coming has had its turn, or at the loop's
// next turn while no timer could tick. Resumes run in the order registered; one that throws is
// dropped.
void AfterNextTick(std::function<void()> resume);

// The name of the object whose timer runs the resumes, for tools that watch the event loop.
inline constexpr const char* kAfterTickObjectName = "AfterTick";

}  // namespace shell
