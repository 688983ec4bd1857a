#include "peer/progress/ProgressPacer.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace peer {
namespace {

constexpr double kNever = std::numeric_limits<double>::infinity();

}  // namespace

ProgressPacer::ProgressPacer(bool terminal, std::optional<double> interval, double start)
    : terminal_(terminal),
      interval_(interval && std::isfinite(*interval) && *interval > 0 ? interval : std::nullopt),
      start_(start),
      nextStatus_(terminal ? start + kStatusDelay : kNever),
      nextInterval_(interval_ ? start + *interval_ : kNever) {}

ProgressPacer::Due ProgressPacer::Poll(double now) {
    Due due;
    if (terminal_ && now >= nextStatus_) {
        due.status = true;
        statusShown_ = true;
        // From the drawing, not the plan: a late look must not bring the next one closer.
        nextStatus_ = now + kStatusPeriod;
    }
    if (interval_ && now >= nextInterval_) {
        due.interval = true;
        // The next whole multiple after now: no burst of lines after a stall, and no drift.
        const double passed = std::floor((now - start_) / *interval_);
        nextInterval_ = std::max(nextInterval_ + *interval_, start_ + (passed + 1) * *interval_);
    }
    return due;
}

double ProgressPacer::NextDue() const {
    return std::min(nextStatus_, nextInterval_);
}

}  // namespace peer
