#include "shell/Timer.h"

#include <vector>

#include "shell/Exceptions.h"

namespace {

// Every timer alive; GUI thread only.
std::vector<const TTimer*> timers;

}  // namespace

TTimer::TTimer()
    : window_(std::make_unique<shell::NotifyWindow>(
          [this](const shell::WindowMessage& message) { Dispatch(message); })) {
    timers.push_back(this);
}

TTimer::~TTimer() {
    std::erase(timers, this);
    enabled_ = false;
    // With Enabled false this only stops the system timer, which cannot be refused.
    try {
        Rearm();
    } catch (...) {
    }
    window_.reset();
}

void TTimer::SetEnabled(bool value) {
    if (value != enabled_) {
        enabled_ = value;
        Rearm();
    }
}

void TTimer::SetInterval(std::uint32_t value) {
    if (value != interval_) {
        interval_ = value;
        Rearm();
    }
}

void TTimer::SetOnTimer(TNotifyEvent handler) {
    onTimer_ = std::move(handler);
    Rearm();
}

void TTimer::Tick() {
    if (onTimer_) {
        // A copy, so that a handler which replaces the handler does not destroy itself mid-call.
        TNotifyEvent handler = onTimer_;
        // Until it returns, no tick of this timer can come (Qt never nests a timer in itself).
        ++ticking_;
        struct Done {
            int& ticking;
            ~Done() { --ticking; }
        } done{ticking_};
        handler(*this);
    }
}

std::optional<std::chrono::milliseconds> TTimer::TimeToTick() const {
    if (timerId_ == 0 || ticking_ > 0) {
        return std::nullopt;
    }
    const int remaining = window_->RemainingMilliseconds(timerId_);
    if (remaining < 0) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(remaining);
}

void TTimer::Rearm() {
    window_->StopTimer(timerId_);
    timerId_ = 0;
    if (interval_ != 0 && enabled_ && onTimer_) {
        timerId_ = window_->StartTimer(interval_);
        if (timerId_ == 0) {
            throw EOutOfResources("タイマーを取得できません");
        }
    }
}

void TTimer::Dispatch(const shell::WindowMessage& message) {
    if (message.number == shell::kTimerMessage) {
        Tick();
    }
}

namespace shell {

std::optional<std::chrono::milliseconds> TimeToNextTick() {
    std::optional<std::chrono::milliseconds> earliest;
    for (const TTimer* timer : timers) {
        const auto next = timer->TimeToTick();
        if (next && (!earliest || *next < *earliest)) {
            earliest = next;
        }
    }
    return earliest;
}

}  // namespace shell
