// The fixed-size latency histogram against an exact sort, and the load's 100 ms intervals built
// on it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "peer/figures/LatencyHistogram.h"
#include "peer/figures/LoadIntervals.h"

using namespace peer;

namespace {

constexpr double kLowest = 1e-6;
constexpr double kHighest = 67.108864;  // 2^26 µs

// The nearest-rank percentile of sorted values.
double Exact(const std::vector<double>& sorted, double fraction) {
    const auto rank =
        static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    return sorted[std::max<std::size_t>(rank, 1) - 1];
}

}  // namespace

TEST(LatencyHistogramTest, PercentilesStayWithinTheResolutionOfAnExactSort) {
    std::mt19937_64 random(17);
    auto uniform = [&](double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(random);
    };
    const struct {
        const char* name;
        std::function<double(int)> value;
    } shapes[] = {
        {"uniform 10 us to 10 ms", [&](int) { return uniform(10e-6, 10e-3); }},
        {"log-uniform 1 us to 60 s",
         [&](int) { return std::pow(10.0, uniform(-6, std::log10(60))); }},
        {"one value", [](int) { return 0.047; }},
        {"a 1 % tail",
         [&](int i) { return i % 100 == 0 ? uniform(0.05, 0.06) : uniform(1e-4, 3e-4); }},
        {"beyond both ends",
         [&](int i) {
             return i % 3 == 0 ? uniform(0, 1e-6) : i % 3 == 1 ? uniform(70, 500) : 0.01;
         }},
    };
    for (const auto& shape : shapes) {
        LatencyHistogram whole, firstHalf, secondHalf;
        std::vector<double> values;
        for (int i = 0; i < 20000; ++i) {
            const double value = shape.value(i);
            values.push_back(value);
            whole.Add(value);
            (i % 2 == 0 ? firstHalf : secondHalf).Add(value);
        }
        firstHalf.Merge(secondHalf);
        std::sort(values.begin(), values.end());
        EXPECT_EQ(whole.Count(), values.size()) << shape.name;
        EXPECT_EQ(whole.Min(), values.front()) << shape.name;
        EXPECT_EQ(whole.Max(), values.back()) << shape.name;
        for (const double fraction : {0.001, 0.25, 0.5, 0.9, 0.99, 0.999, 1.0}) {
            const double exact = Exact(values, fraction);
            const double got = *whole.Percentile(fraction);
            if (exact < kLowest) {
                EXPECT_LE(got, kLowest) << shape.name << " " << fraction;
            } else if (exact >= kHighest) {
                EXPECT_EQ(got, values.back()) << shape.name << " " << fraction;
            } else {
                EXPECT_LE(std::abs(got - exact),
                          exact * LatencyHistogram::kRelativeResolution * 1.000001)
                    << shape.name << " " << fraction << ": " << got << " against " << exact;
            }
            EXPECT_EQ(firstHalf.Percentile(fraction), got) << shape.name << " merged";
        }
    }

    LatencyHistogram empty;
    EXPECT_FALSE(empty.Percentile(0.5));
    EXPECT_EQ(SpreadMs(empty).dump(), R"({"median":null,"p99":null,"max":null})");
    LatencyHistogram constant;
    constant.Add(0.047, 1000);
    // One value throughout reads exactly, not as its bin's midpoint.
    EXPECT_EQ(SpreadMs(constant).dump(), R"({"median":47.0,"p99":47.0,"max":47.0})");
}

TEST(LoadIntervalsTest, EachTenthOfASecondKeepsItsCountsAndLatency) {
    LoadIntervals intervals;
    intervals.Sent(0.010, 5);
    intervals.Sent(0.050, 5);
    intervals.Replied(0.060, 0.001);
    intervals.Replied(0.065, 0.0025);
    intervals.Replied(0.070, 0.003);
    intervals.Replied(0.150, 0.002);
    intervals.Sent(0.350, 3);  // nothing from 0.2 to 0.3
    intervals.Finish();
    intervals.Sent(0.310, 1);  // after Finish: in a new interval after the closed ones
    intervals.Finish();
    // A median inside the range reads as its bin; the extremes read exactly.
    EXPECT_EQ(
        intervals.Json().dump(),
        R"([{"t":0.0,"sent":10,"replies":3,"latency_ms":{"median":2.512,"p99":3.0,"max":3.0}},)"
        R"({"t":0.1,"sent":0,"replies":1,"latency_ms":{"median":2.0,"p99":2.0,"max":2.0}},)"
        R"({"t":0.2,"sent":0,"replies":0,"latency_ms":{"median":null,"p99":null,"max":null}},)"
        R"({"t":0.3,"sent":3,"replies":0,"latency_ms":{"median":null,"p99":null,"max":null}},)"
        R"({"t":0.4,"sent":1,"replies":0,"latency_ms":{"median":null,"p99":null,"max":null}}])");
}
