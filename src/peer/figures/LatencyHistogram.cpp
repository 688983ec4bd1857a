#include "peer/figures/LatencyHistogram.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace peer {

std::size_t LatencyHistogram::BinOf(double microseconds) {
    if (!(microseconds >= 1.0)) {
        return 0;
    }
    // Read off the double's own bits: its exponent is the octave, the top bits of its fraction
    // the step within it. A load takes a value for every reply, and frexp costs several times
    // this.
    static_assert(kBinsPerOctave == 64, "six bits of the fraction make a step");
    const auto bits = std::bit_cast<std::uint64_t>(microseconds);
    const int octave = static_cast<int>((bits >> 52) & 0x7FF) - 1023;
    if (octave >= kOctaves) {
        return kBins - 1;
    }
    return 1 + static_cast<std::size_t>(octave) * kBinsPerOctave +
           static_cast<std::size_t>((bits >> (52 - 6)) & (kBinsPerOctave - 1));
}

double LatencyHistogram::MidpointMicroseconds(std::size_t bin) {
    if (bin == 0) {
        return 0.5;
    }
    const std::size_t inRange = bin - 1;
    const auto octave = static_cast<int>(inRange / kBinsPerOctave);
    const auto step = static_cast<double>(inRange % kBinsPerOctave);
    return std::ldexp(1.0 + (step + 0.5) / kBinsPerOctave, octave);
}

void LatencyHistogram::Add(double seconds, std::uint64_t count) {
    // A NaN would poison the kept extremes; no clock gives one.
    if (count == 0 || std::isnan(seconds)) {
        return;
    }
    if (count_ == 0 || seconds < min_) {
        min_ = seconds;
    }
    if (count_ == 0 || seconds > max_) {
        max_ = seconds;
    }
    bins_[BinOf(seconds * 1e6)] += count;
    count_ += count;
}

void LatencyHistogram::Merge(const LatencyHistogram& other) {
    if (other.count_ == 0) {
        return;
    }
    min_ = count_ == 0 ? other.min_ : std::min(min_, other.min_);
    max_ = count_ == 0 ? other.max_ : std::max(max_, other.max_);
    for (std::size_t bin = 0; bin < kBins; ++bin) {
        bins_[bin] += other.bins_[bin];
    }
    count_ += other.count_;
}

void LatencyHistogram::Clear() {
    bins_.fill(0);
    count_ = 0;
    min_ = max_ = 0;
}

std::optional<double> LatencyHistogram::Min() const {
    return count_ == 0 ? std::nullopt : std::optional<double>(min_);
}

std::optional<double> LatencyHistogram::Max() const {
    return count_ == 0 ? std::nullopt : std::optional<double>(max_);
}

std::optional<double> LatencyHistogram::Percentile(double fraction) const {
    if (count_ == 0) {
        return std::nullopt;
    }
    const auto rank = std::clamp<std::uint64_t>(
        static_cast<std::uint64_t>(std::ceil(fraction * static_cast<double>(count_))), 1, count_);
    // The extremes are known exactly: a p99 of fewer than a hundred values is the largest.
    if (rank == count_) {
        return max_;
    }
    if (rank == 1) {
        return min_;
    }
    std::uint64_t below = 0;
    std::size_t bin = 0;
    for (; bin < kBins; ++bin) {
        below += bins_[bin];
        if (below >= rank) {
            break;
        }
    }
    // The greatest value is the only one known above the range, so the top bin reads as it.
    const double value = bin == kBins - 1 ? max_ : MidpointMicroseconds(bin) / 1e6;
    return std::clamp(value, min_, max_);
}

nlohmann::ordered_json SpreadMs(const LatencyHistogram& histogram) {
    auto ms = [](std::optional<double> seconds) {
        return seconds ? nlohmann::ordered_json(std::round(*seconds * 1e6) / 1e3)
                       : nlohmann::ordered_json(nullptr);
    };
    return {{"median", ms(histogram.Percentile(0.5))},
            {"p99", ms(histogram.Percentile(0.99))},
            {"max", ms(histogram.Max())}};
}

}  // namespace peer
