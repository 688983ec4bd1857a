#include "shell/TickRoom.h"

#include <time.h>

#include <QBasicTimer>
#include <QCoreApplication>
#include <QPointer>
#include <QTimerEvent>
#include <algorithm>
#include <cmath>
#include <vector>

#include "shell/MessageLoop.h"
#include "shell/Timer.h"

namespace shell {
namespace {

constexpr auto kNoTick = std::chrono::hours(24);
// A wait held off a processor counts half as much after this long: a host that was busy a while
// ago gives the ticks their room back.
constexpr double kHeldOffHalfLife = 0.5;

using Seconds = std::chrono::duration<double>;

// GUI thread only.
Seconds heldOff{0};
TickClock::time_point heldOffNoted;

Seconds HeldOffLately(TickClock::time_point now) {
    return heldOff * std::exp2(-Seconds(now - heldOffNoted).count() / kHeldOffHalfLife);
}

class Resumer final : public QObject {
  public:
    Resumer() { setObjectName(QLatin1String(kAfterTickObjectName)); }

    void Add(std::function<void()> resume) {
        pending_.push_back(std::move(resume));
        if (!timer_.isActive()) {
            // Due with the tick or just after it, whole milliseconds rounded up: Qt hands timers
            // out in the order they fall due, so the tick goes first.
            const auto toTick = TimeToNextTick();
            timer_.start(toTick ? static_cast<int>(toTick->count()) : 0, Qt::PreciseTimer, this);
        }
    }

  protected:
    void timerEvent(QTimerEvent* event) override {
        if (event->timerId() != timer_.timerId()) {
            QObject::timerEvent(event);
            return;
        }
        timer_.stop();
        const DispatchScope dispatch;
        // A resume may register the next one; that one waits for the next tick.
        auto resumes = std::move(pending_);
        pending_.clear();
        for (auto& resume : resumes) {
            try {
                resume();
            } catch (...) {
                // Nothing here may reach the event loop; what failed is dropped.
            }
        }
    }

  private:
    QBasicTimer timer_;
    std::vector<std::function<void()>> pending_;
};

Resumer& TheResumer() {
    // Goes with the application object; GUI thread only.
    static QPointer<Resumer> resumer;
    if (!resumer) {
        resumer = new Resumer;
        resumer->setParent(QCoreApplication::instance());
    }
    return *resumer;
}

}  // namespace

TickClock::duration RoomBeforeTick() {
    const auto toTick = TimeToNextTick();
    if (!toTick) {
        return kNoTick;
    }
    const auto lately =
        std::chrono::duration_cast<TickClock::duration>(HeldOffLately(TickClock::now()));
    return std::max<TickClock::duration>(TickClock::duration::zero(),
                                         *toTick - std::chrono::milliseconds(1) - lately);
}

void NoteHeldOff(TickClock::duration held) {
    const auto now = TickClock::now();
    heldOff = std::max<Seconds>(held, HeldOffLately(now));
    heldOffNoted = now;
}

TickClock::duration ThreadTime() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

void AfterNextTick(std::function<void()> resume) {
    TheResumer().Add(std::move(resume));
}

}  // namespace shell
