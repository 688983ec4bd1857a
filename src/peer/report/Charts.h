#pragma once
// What the report's pictures share: scales, round ticks, axes with units, the reduction of a long
// series to pixel columns, and the lanes of marks under a plot.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "peer/report/ReportData.h"
#include "peer/report/Svg.h"

namespace peer {

// The plot area of a picture, in its pixels.
struct Frame {
    double left = 0, top = 0, width = 0, height = 0;
    double Right() const { return left + width; }
    double Bottom() const { return top + height; }
};

// Linear, from values to pixels.
class Scale {
  public:
    Scale(double from0, double from1, double to0, double to1);
    double operator()(double value) const;

  private:
    double from0_, to0_, factor_;
};

// Round steps (1, 2 or 5 times a power of ten) from at or below `lo` to at or above `hi`, about
// `count` of them; `decimals` is what a label needs to tell them apart.
struct Ticks {
    double lo = 0, hi = 1, step = 1;
    int decimals = 0;
    std::vector<double> values;
};
Ticks RoundTicks(double lo, double hi, int count);
// Time from 0 to `span` seconds exactly, with round ticks inside it.
Ticks TimeTicks(double span);

// Where the time `t` falls among `columns` equal columns from `t0` to `t1`; the ends go to the
// first and the last column.
int ColumnOf(double t, double t0, double t1, int columns);

// Each column the least and the greatest value of the points whose time falls in it, so a
// series longer than the picture is wide still shows every spike.
struct Column {
    float least = 0;
    float greatest = 0;
    std::uint64_t points = 0;
};
std::vector<std::optional<Column>> ReduceToColumns(std::span<const TimeSeries::Point> points,
                                                   double t0, double t1, int columns);

// Time in seconds under the frame, from `ticks.lo` to `ticks.hi` across it.
void DrawTimeAxis(Svg& svg, const Frame& frame, const Ticks& ticks, double y);
// Values on the left with grid lines across the frame, and the unit above them.
void DrawValueAxis(Svg& svg, const Frame& frame, const Scale& y, const Ticks& ticks,
                   std::string_view unit);

// The columns as strokes from the least to the greatest value (times `factor`), never less than
// two pixels tall; dots where only a few columns hold anything.
void DrawColumns(Svg& svg, const Frame& frame, const Scale& y,
                 const std::vector<std::optional<Column>>& columns, double factor,
                 std::string_view cls);

// One lane of `lane` height under a plot: a stroke in each column where a mark of `kind` fell,
// titled with how many and when, and on the left the kind's name and `total`.
void DrawMarkLane(Svg& svg, const Frame& lane, std::span<const Mark> marks, MarkKind kind,
                  double t0, double t1, std::uint64_t total);

}  // namespace peer
