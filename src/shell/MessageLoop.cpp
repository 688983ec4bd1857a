#include "shell/MessageLoop.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <algorithm>
#include <vector>

#include "shell/Gathering.h"

namespace shell {
namespace {

int dispatchDepth = 0;
int waitDepth = 0;
std::vector<std::function<void()>> deferred;
int modalLevel = 0;
// The callbacks of the live watches.
std::vector<const std::function<void()>*> modalWatches;

void RunDeferredWhenIdle() noexcept {
    while (dispatchDepth == 0 && waitDepth == 0 && !deferred.empty()) {
        auto actions = std::move(deferred);
        deferred.clear();
        for (auto& action : actions) {
            try {
                action();
            } catch (...) {
                // A close or quit that fails leaves the program running; nothing to report.
            }
        }
    }
}

void NotifyModalWatches() noexcept {
    try {
        // A watch may go away while another is told; only those still there are called.
        const auto watches = modalWatches;
        for (const auto* changed : watches) {
            if (std::find(modalWatches.begin(), modalWatches.end(), changed) !=
                modalWatches.end()) {
                (*changed)();
            }
        }
    } catch (...) {
        // A watch that failed misses this change; the next one reaches it again.
    }
}

class WaitScope {
  public:
    WaitScope() noexcept { ++waitDepth; }
    ~WaitScope() {
        --waitDepth;
        RunDeferredWhenIdle();
    }
    WaitScope(const WaitScope&) = delete;
    WaitScope& operator=(const WaitScope&) = delete;
};

}  // namespace

void ProcessPendingMessages() {
    NestedDispatch nested;
    auto* dispatcher = QAbstractEventDispatcher::instance();
    if (dispatcher == nullptr) {
        return;
    }
    while (dispatcher->processEvents(QEventLoop::AllEvents)) {
    }
}

void WaitUntil(const std::function<bool()>& done) {
    WaitScope scope;
    NestedDispatch nested;
    for (;;) {
        ProcessPendingMessages();
        if (done()) {
            return;
        }
        // Nothing is left to dispatch: sleep until the next event instead of spinning.
        if (auto* dispatcher = QAbstractEventDispatcher::instance()) {
            dispatcher->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        }
        if (done()) {
            return;
        }
    }
}

bool WaitInProgress() {
    return waitDepth > 0;
}

void DeferWhileWaiting(std::function<void()> action) {
    deferred.push_back(std::move(action));
    RunDeferredWhenIdle();
}

int ModalLevel() {
    return modalLevel;
}

ModalLoopScope::ModalLoopScope() noexcept {
    ++modalLevel;
    NotifyModalWatches();
}

ModalLoopScope::~ModalLoopScope() {
    --modalLevel;
    NotifyModalWatches();
}

ModalLevelWatch::ModalLevelWatch(std::function<void()> changed) : changed_(std::move(changed)) {
    modalWatches.push_back(&changed_);
}

ModalLevelWatch::~ModalLevelWatch() {
    std::erase(modalWatches, &changed_);
}

DispatchScope::DispatchScope() noexcept {
    ++dispatchDepth;
}

DispatchScope::~DispatchScope() {
    --dispatchDepth;
    RunDeferredWhenIdle();
}

}  // namespace shell
