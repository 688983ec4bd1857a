#pragma once
// Durations in a fixed number of log-linear bins: 64 equal bins in each power of two from 1 µs
// up to 2^26 µs (67 s), one bin below and one above. A bin's midpoint is within 1/128 (0.8 %) of
// every value in it, so a percentile read from the bins is within 0.8 % of the exact one; the
// least and greatest values are kept exactly. Memory is the same at 10 or 10 million values a
// second, and histograms of the same run merge by adding their bins.

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>

namespace peer {

class LatencyHistogram {
  public:
    static constexpr int kBinsPerOctave = 64;
    static constexpr int kOctaves = 26;
    // The bound on |reported - exact| / exact for a percentile inside the binned range.
    static constexpr double kRelativeResolution = 1.0 / (2 * kBinsPerOctave);

    void Add(double seconds, std::uint64_t count = 1);
    void Merge(const LatencyHistogram& other);
    void Clear();

    std::uint64_t Count() const { return count_; }
    // Nothing when empty.
    std::optional<double> Min() const;
    std::optional<double> Max() const;
    // The nearest-rank percentile (0 < fraction <= 1) in seconds: the value at rank
    // ceil(fraction * Count()), read as its bin's midpoint and kept within [Min, Max]; at the
    // first and last rank, Min and Max themselves.
    std::optional<double> Percentile(double fraction) const;

  private:
    static constexpr std::size_t kBins = kBinsPerOctave * kOctaves + 2;
    static std::size_t BinOf(double microseconds);
    static double MidpointMicroseconds(std::size_t bin);

    std::array<std::uint64_t, kBins> bins_{};
    std::uint64_t count_ = 0;
    double min_ = 0, max_ = 0;
};

// {"median", "p99", "max"} in milliseconds rounded to the microsecond, as the summary shows a
// spread; each null when the histogram is empty.
nlohmann::ordered_json SpreadMs(const LatencyHistogram& histogram);

}  // namespace peer
