#pragma once
// Output that handlers gather while a burst of notifications is handed over, put in place once
// the burst ends. Putting it in place goes in slices of about a millisecond, back to back while
// the next tick leaves room for one, and goes on after the tick: the ticks keep their pace
// however long the burst's output takes. Before any dispatch that nests inside a handler (a wait
// that dispatches, a message box) everything gathered is put in place at once, so whatever runs
// nested sees it in place.

#include <functional>

#include "shell/TickRoom.h"

namespace shell {

// Handlers that run while one is alive may gather their output. Its end settles what was
// gathered, whether or not it is nested in another.
class GatherScope {
  public:
    GatherScope() noexcept;
    ~GatherScope();
    GatherScope(const GatherScope&) = delete;
    GatherScope& operator=(const GatherScope&) = delete;
};

// Whether output may be gathered now rather than put in place at once.
bool Gathering();

// Runs `settle` at the next settle point, once, before the slices still to come. Call it only
// while Gathering().
void SettleLater(std::function<void()> settle);

// The time a slice has: it should be done by `until`; nothing it starts may run past
// `quietUntil`, when the next tick may fall due, unless everything must go in now, which
// `mayWait` false tells.
struct SliceTime {
    TickClock::time_point until;
    TickClock::time_point quietUntil;
    bool mayWait = true;
};

// What a slice leaves: nothing; more for the next slice; or work that must wait for the next
// tick to pass (never while everything must go in now).
enum class SliceLeft { Nothing, More, AfterTick };

// One slice of a settle: puts in place what fits in the slice's time, and always a little unless
// it waits for the tick.
using SettleSlice = std::function<SliceLeft(const SliceTime&)>;

// Queues a settle that goes in slices, behind those queued before; its slices run until it says
// nothing is left. Call it only while Gathering().
void SettleInSlices(SettleSlice settle);

// Runs the settles registered so far: the one-shots, then slices while the next tick leaves room
// for one; the rest goes on after the tick. Never throws: a settle that fails is dropped.
void Settle() noexcept;

// Puts everything registered in place now, whatever the ticks.
void SettleNow() noexcept;

// Whether sliced settles are still waiting to go on.
bool SettleInProgress();

// Marks a dispatch nested inside a handler: what was gathered is put in place first, and
// handlers dispatched within start afresh, putting their output in place at once unless they
// gather around a burst of their own.
class NestedDispatch {
  public:
    NestedDispatch() noexcept;
    ~NestedDispatch();
    NestedDispatch(const NestedDispatch&) = delete;
    NestedDispatch& operator=(const NestedDispatch&) = delete;

  private:
    int outerDepth_;
};

}  // namespace shell
