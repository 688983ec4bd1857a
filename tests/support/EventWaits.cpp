#include "support/EventWaits.h"

#include <QCoreApplication>
#include <QEventLoop>

namespace testsupport {

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    }
}

void Pump(std::chrono::milliseconds duration) {
    WaitFor([] { return false; }, duration);
}

}  // namespace testsupport
