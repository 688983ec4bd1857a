#pragma once
// Output that handlers gather while a burst of notifications is handed over, put in place
// before anyone could see the difference: at the end of the burst, and before any dispatch that
// nests inside it (a wait that dispatches, a message box). Between those points nothing paints,
// takes input or runs another handler, so gathered output looks exactly like output made at once.

#include <functional>

namespace shell {

// Handlers that run while one is alive may gather their output. Its end settles everything
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

// Runs `settle` at the next settle point, once. Call it only while Gathering().
void SettleLater(std::function<void()> settle);

// Runs every settle registered so far, in the order given. Never throws: a settle that fails is
// dropped, and the others still run.
void Settle() noexcept;

// Marks a dispatch nested inside a handler: what was gathered is settled first, and handlers
// dispatched within start afresh, putting their output in place at once unless they gather
// around a burst of their own.
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
