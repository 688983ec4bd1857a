#pragma once
// A periodic handler on the GUI thread. The system timer is armed exactly while the interval is
// not 0, the timer is enabled and a handler is attached; ticks are never queued up, so a handler
// slower than the interval lowers the tick rate instead of causing a burst.

#include <cstdint>
#include <functional>
#include <memory>

#include "shell/NotifyWindow.h"

class TTimer {
  public:
    using TNotifyEvent = std::function<void(TTimer& sender)>;

    TTimer();
    virtual ~TTimer();
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    bool Enabled() const { return enabled_; }
    // Re-arms only when the value changes; raises EOutOfResources when the system refuses.
    void SetEnabled(bool value);

    std::uint32_t Interval() const { return interval_; }
    void SetInterval(std::uint32_t value);

    const TNotifyEvent& OnTimer() const { return onTimer_; }
    // Always re-arms, so even the same handler again restarts the period.
    void SetOnTimer(TNotifyEvent handler);

    // Whether a system timer is armed.
    bool Running() const { return timerId_ != 0; }

    virtual void Tick();

  private:
    void Rearm();
    void Dispatch(const shell::WindowMessage& message);

    std::uint32_t interval_ = 1000;
    std::unique_ptr<shell::NotifyWindow> window_;
    TNotifyEvent onTimer_;
    bool enabled_ = true;
    int timerId_ = 0;
};
