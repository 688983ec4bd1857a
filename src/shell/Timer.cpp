#include "shell/Timer.h"

#include "shell/Exceptions.h"

TTimer::TTimer()
    : window_(std::make_unique<shell::NotifyWindow>(
          [this](const shell::WindowMessage& message) { Dispatch(message); })) {}

TTimer::~TTimer() {
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
        handler(*this);
    }
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
