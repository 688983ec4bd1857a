#include "shell/PaintPacing.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <chrono>

namespace shell {
namespace {

using Seconds = std::chrono::duration<double>;

// At most one paint in this long: ten times the frame rate of the usual screen, but a burst of
// datagrams ends every few milliseconds.
constexpr auto kLeastInterval = std::chrono::milliseconds(10);
// A paint starts only where the room exceeds the longest lately by this much.
constexpr double kMargin = 1.25;
// How much of the longest paint is kept at each paint: a slow one is forgotten within a second or
// so of paints.
constexpr double kForget = 0.98;

void Request(QWidget* window) {
    // Qt asks for no other paint of the window until this request is handled.
    QCoreApplication::postEvent(window, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
}

}  // namespace

void PaintPacing::AskAgain(QWidget* window, TickClock::duration after, bool paintAnyway) {
    QPointer<QWidget> alive(window);
    if (paintAnyway) {
        AfterNextTick([this, alive] {
            if (alive) {
                paintAnyway_ = true;
                Request(alive);
            }
        });
        return;
    }
    const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(after);
    QTimer::singleShot(milliseconds, Qt::PreciseTimer, window, [window] { Request(window); });
}

bool PaintPacing::Handle(QWidget* window, const std::function<bool()>& paint) {
    const auto now = TickClock::now();
    if (!paintAnyway_) {
        if (now < lastPaint_ + kLeastInterval) {
            AskAgain(window, lastPaint_ + kLeastInterval - now, false);
            return true;
        }
        // The request asked for again after the tick is painted whatever the room, or a window
        // whose paints never fit would never show.
        if (Seconds(RoomBeforeTick()).count() < kMargin * longestSeconds_) {
            AskAgain(window, {}, true);
            return true;
        }
    }
    paintAnyway_ = false;
    const bool handled = paint();
    lastPaint_ = TickClock::now();
    longestSeconds_ = std::max(Seconds(lastPaint_ - now).count(), longestSeconds_ * kForget);
    return handled;
}

}  // namespace shell
