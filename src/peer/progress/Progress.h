#pragma once
// The running figures of a run while it goes: on a terminal a status line on standard error,
// redrawn at most once a second from two seconds in, and with --interval a line every S seconds
// where the other lines go (one JSON object a line with --json). A line printed to the terminal
// the status line is on goes above it. Without a terminal and without --interval none is made,
// and a run does exactly what it did before there was one.

#include <optional>
#include <string>

#include "peer/figures/Figures.h"
#include "peer/figures/Report.h"
#include "peer/progress/LiveFigures.h"
#include "peer/progress/ProgressPacer.h"
#include "peer/progress/ProgressTap.h"
#include "peer/session/EventLoop.h"

namespace peer {

class Progress final : public LoopTicker, public LineGuard {
  public:
    struct Setup {
        bool terminal = false;            // standard error is a terminal: the status line
        bool linesShareTerminal = false;  // and the lines go to that terminal too
        std::optional<double> interval;   // seconds between lines; none: no lines
        bool json = false;
        bool load = false;  // load's rate, answered share and latency besides
        double origin = 0;  // monotonic seconds the run's clock counts from
    };

    Progress(const Setup& setup, const Figures& figures, Report& report);

    // Every datagram of the run goes through it.
    DatagramTap& Tap() { return tap_; }
    // What the wire cannot tell: a loader's requests and replies.
    LiveFigures& Live() { return live_; }
    // The run's planned length in seconds, for the share done; none: not known.
    void SetPlanned(std::optional<double> seconds) { planned_ = seconds; }

    double NextDue() const override;
    void Tick(double now) override;
    // Ticks if something is due at `now`: for loops that do not wait on an EventLoop.
    void Poll(double now) {
        if (NextDue() <= now) {
            Tick(now);
        }
    }
    // Wipes the status line for good, before the summary.
    void End();

    void BeforeLine() override;
    void AfterLine() override;

  private:
    static void Show(const std::string& text);

    Setup setup_;
    const Figures& figures_;
    Report& report_;
    LiveFigures live_;
    ProgressTap tap_;
    ProgressPacer pacer_;
    std::optional<double> planned_;
    std::string status_;  // as last drawn; empty: none on the terminal
};

}  // namespace peer
