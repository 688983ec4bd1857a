#pragma once
// The small layer over Qt's event loop that the components rely on: dispatching what is waiting,
// waiting for a condition while the window keeps running, and holding back a quit or close that
// arrives while such a wait is in progress.

#include <functional>

#include "shell/Gathering.h"

namespace shell {

// Dispatches every event now waiting on the GUI thread and returns as soon as none is left.
// Never blocks.
void ProcessPendingMessages();

// Dispatches events, blocking between them, until `done` holds. `done` is tested after each
// round of dispatching, so at least one round happens.
void WaitUntil(const std::function<bool()>& done);

// Whether some WaitUntil is running further up the stack.
bool WaitInProgress();

// Runs `action` once no wait is in progress and the outermost dispatch has returned, or at once
// when that holds already. Used for a close of the window that must not cut a wait short.
void DeferWhileWaiting(std::function<void()> action);

// Modal loops: loops that dispatch while they wait for the operator, such as an error box. Each
// begins a level of its own. A wait further out cannot end while one runs, so what it dispatches
// is handled as it would be outside any wait. 0 while none runs.
int ModalLevel();

// Marks the loop of a box for as long as it runs. The loop is a nested dispatch: what handlers
// gathered is put in place before it begins.
class ModalLoopScope {
  public:
    ModalLoopScope() noexcept;
    ~ModalLoopScope();
    ModalLoopScope(const ModalLoopScope&) = delete;
    ModalLoopScope& operator=(const ModalLoopScope&) = delete;

  private:
    NestedDispatch nested_;
};

// Calls `changed` each time a modal loop begins or ends, for as long as the watch lives.
class ModalLevelWatch {
  public:
    explicit ModalLevelWatch(std::function<void()> changed);
    ~ModalLevelWatch();
    ModalLevelWatch(const ModalLevelWatch&) = delete;
    ModalLevelWatch& operator=(const ModalLevelWatch&) = delete;

  private:
    std::function<void()> changed_;
};

// Marks one dispatch from Qt into the program's code; see Guarded.
class DispatchScope {
  public:
    DispatchScope() noexcept;
    ~DispatchScope();
    DispatchScope(const DispatchScope&) = delete;
    DispatchScope& operator=(const DispatchScope&) = delete;
};

}  // namespace shell
