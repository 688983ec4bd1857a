#pragma once
// A periodic handler on the GUI thread. The system timer is armed exactly while the interval is
// not 0, the timer is enabled and a handler is attached; ticks are never queued up, so a handler
// slower than the interval lowers the tick rate instead of causing a burst.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

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

    // Whole milliseconds until its next tick is due, 0 once it is; none while it is stopped or
    // its handler runs (a timer never ticks inside its own handler).
    std::optional<std::chrono::milliseconds> TimeToTick() const;

  private:
    void Rearm();
    void Dispatch(const shell::WindowMessage& message);

    std::uint32_t interval_ = 1000;
    std::unique_ptr<shell::NotifyWindow> window_;
    TNotifyEvent onTimer_;
    bool enabled_ = true;
    int timerId_ = 0;
    int ticking_ = 0;
};

namespace shell {

// The time until the next tick of any timer of the GUI thread is due, 0 once one is; none while
// no timer could tick. Work that can wait gives way to ticks, so that they keep their pace while
// datagrams flood in.
std::optional<std::chrono::milliseconds> TimeToNextTick();

}  // namespace shell
