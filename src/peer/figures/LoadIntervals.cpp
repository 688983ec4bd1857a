#include "peer/figures/LoadIntervals.h"

#include <algorithm>
#include <cmath>

namespace peer {

void LoadIntervals::MoveTo(double t) {
    // Most events fall in the open interval: told by one comparison, as every reply is.
    if (open_ && t < openEnd_) {
        return;
    }
    // A time before the run or not a number counts where the run is.
    std::uint64_t index =
        std::isfinite(t) && t > 0 ? static_cast<std::uint64_t>(std::floor(t / width_)) : 0;
    if (open_ && index <= openIndex_) {
        return;
    }
    if (open_) {
        CloseOpen();
    }
    // After Finish, an interval already closed is not opened again.
    index = std::max<std::uint64_t>(index, closed_.size());
    // The quiet intervals in between keep the time axis even.
    while (closed_.size() < index) {
        closed_.push_back({static_cast<double>(closed_.size()) * width_, 0, 0, {}, {}, {}});
    }
    open_ = true;
    openIndex_ = index;
    openEnd_ = static_cast<double>(index + 1) * width_;
}

void LoadIntervals::CloseOpen() {
    closed_.push_back({static_cast<double>(openIndex_) * width_, sent_, replies_,
                       latency_.Percentile(0.5), latency_.Percentile(0.99), latency_.Max()});
    sent_ = replies_ = 0;
    latency_.Clear();
    open_ = false;
}

void LoadIntervals::Sent(double t, std::uint64_t count) {
    MoveTo(t);
    sent_ += count;
}

void LoadIntervals::Replied(double t, double latencySeconds) {
    MoveTo(t);
    ++replies_;
    latency_.Add(latencySeconds);
}

void LoadIntervals::Finish() {
    if (open_) {
        CloseOpen();
    }
}

nlohmann::ordered_json LoadIntervals::Json() const {
    auto ms = [](const std::optional<double>& seconds) {
        return seconds ? nlohmann::ordered_json(std::round(*seconds * 1e6) / 1e3)
                       : nlohmann::ordered_json(nullptr);
    };
    nlohmann::ordered_json intervals = nlohmann::ordered_json::array();
    for (const Interval& interval : closed_) {
        intervals.push_back({{"t", std::round(interval.start * 1e6) / 1e6},
                             {"sent", interval.sent},
                             {"replies", interval.replies},
                             {"latency_ms",
                              {{"median", ms(interval.median)},
                               {"p99", ms(interval.p99)},
                               {"max", ms(interval.max)}}}});
    }
    return intervals;
}

}  // namespace peer
