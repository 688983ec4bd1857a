#pragma once
// The load's course in intervals of fixed length (100 ms): requests sent, replies received and
// their latency in each. Only the open interval holds a histogram; a closed one keeps five
// figures, so memory grows with the run's length and never with its rate.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "peer/figures/LatencyHistogram.h"

namespace peer {

class LoadIntervals {
  public:
    struct Interval {
        double start = 0;  // seconds since the run began
        std::uint64_t sent = 0;
        std::uint64_t replies = 0;
        // Latency of the replies that arrived in the interval; none when none did.
        std::optional<double> median, p99, max;
    };

    explicit LoadIntervals(double width = 0.1) : width_(width) {}

    // `t` is the time of the event on the run's clock (seconds since it began, not decreasing;
    // an earlier one counts in the open interval). Intervals with nothing in them are kept, so
    // the n-th interval always starts at n times the width.
    void Sent(double t, std::uint64_t count = 1);
    void Replied(double t, double latencySeconds);
    // Closes the open interval; later events open new ones.
    void Finish();

    const std::vector<Interval>& Closed() const { return closed_; }
    double Width() const { return width_; }

    // [{"t": start, "sent", "replies", "latency_ms": {"median", "p99", "max"}}, ...]; times in
    // seconds to the microsecond, latencies in milliseconds to the microsecond.
    nlohmann::ordered_json Json() const;

  private:
    void MoveTo(double t);
    void CloseOpen();

    double width_;
    std::vector<Interval> closed_;
    bool open_ = false;
    std::uint64_t openIndex_ = 0;
    double openEnd_ = 0;  // where the open interval ends
    std::uint64_t sent_ = 0, replies_ = 0;
    LatencyHistogram latency_;
};

}  // namespace peer
