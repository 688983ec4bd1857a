#pragma once
// When the running figures are shown, on the caller's clock: the status line only on a terminal,
// from two seconds into the run (a short run never flickers one) and at most once a second;
// --interval lines every S seconds at fixed times from the start, one at a time however late the
// caller looks. Without a terminal and without an interval nothing is ever due.

#include <optional>

namespace peer {

class ProgressPacer {
  public:
    static constexpr double kStatusDelay = 2.0;
    static constexpr double kStatusPeriod = 1.0;

    // `interval`: seconds between interval lines; none (or not above zero): no lines.
    ProgressPacer(bool terminal, std::optional<double> interval, double start = 0);

    struct Due {
        bool status = false;
        bool interval = false;
    };
    // What to show at `now`. When both are due, and the interval line goes to the terminal the
    // status line is on, clear the status line first and draw it after.
    Due Poll(double now);

    // When something next falls due; infinity when nothing ever will. For the caller's wait.
    double NextDue() const;

    // A status line has been drawn: it must be cleared before the summary.
    bool StatusShown() const { return statusShown_; }

  private:
    bool terminal_;
    std::optional<double> interval_;
    double start_;
    double nextStatus_;
    double nextInterval_;
    bool statusShown_ = false;
};

}  // namespace peer
