#pragma once
// The running figures of `calls`: on a terminal a status line, with --interval a line every S
// seconds (one JSON object with --json): the calls up, the calls started a second, and the worst
// of the calls' receive spacing p99 since the line before.

#include <optional>
#include <string>

#include "peer/calls/CallsEngine.h"
#include "peer/figures/Report.h"
#include "peer/progress/ProgressPacer.h"
#include "peer/session/EventLoop.h"

namespace peer {

class CallsProgress final : public LoopTicker, public LineGuard {
  public:
    struct Setup {
        bool terminal = false;
        bool linesShareTerminal = false;
        std::optional<double> interval;
        bool json = false;
        double origin = 0;
    };
    CallsProgress(const Setup& setup, CallsEngine& engine, Report& report);

    double NextDue() const override;
    void Tick(double now) override;
    // Wipes the status line for good, before the summary.
    void End();

    void BeforeLine() override;
    void AfterLine() override;

  private:
    struct Mark {
        double t = 0;
        std::uint64_t started = 0;
        std::optional<double> worst;
    };
    std::string Figures(Mark& since, double t, bool json) const;

    Setup setup_;
    CallsEngine& engine_;
    Report& report_;
    ProgressPacer pacer_;
    Mark interval_, status_;
    std::string shown_;
};

}  // namespace peer
