#pragma once
// The room before the next tick. Work that the GUI thread starts on its own (putting a burst's
// lines in place, a paint, compacting the log's buffer) must end before the next tick falls due,
// or the voice's pace shows it: what does not fit waits until the tick has had its turn.

#include <chrono>
#include <functional>

namespace shell {

using TickClock = std::chrono::steady_clock;

// How long from now no tick of the GUI thread can fall due, less what the thread may be held off
// a processor in the middle of its work (see NoteHeldOff). Qt tells the time to a tick in whole
// milliseconds, rounded up, so this is one less again; a day while no timer could tick.
TickClock::duration RoomBeforeTick();

// Notes that the GUI thread, in the middle of work of its own, was kept off a processor for
// `heldOff`: another program had its turn, or the thread's share of a processor was used up. Work
// started that close to a tick could be held off past it, so the room before a tick leaves the
// longest such wait of the last second or so free as well. On an idle machine that is nothing.
void NoteHeldOff(TickClock::duration heldOff);

// The calling thread's processor time: what work of its own costs, whatever else the machine runs.
TickClock::duration ThreadTime();

// Calls `resume` from the event loop once the tick now coming has had its turn, or at the loop's
// next turn while no timer could tick. Resumes run in the order registered; one that throws is
// dropped.
void AfterNextTick(std::function<void()> resume);

// The name of the object whose timer runs the resumes, for tools that watch the event loop.
inline constexpr const char* kAfterTickObjectName = "AfterTick";

}  // namespace shell
