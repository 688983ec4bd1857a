#include "peer/report/Charts.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace peer {
namespace {

// Fewer used columns than this are drawn as dots: single strokes would be too thin to see.
constexpr std::size_t kDotsBelow = 200;

}  // namespace

Scale::Scale(double from0, double from1, double to0, double to1)
    : from0_(from0), to0_(to0), factor_(from1 != from0 ? (to1 - to0) / (from1 - from0) : 0) {}

double Scale::operator()(double value) const {
    return to0_ + (value - from0_) * factor_;
}

Ticks RoundTicks(double lo, double hi, int count) {
    if (!std::isfinite(lo) || !std::isfinite(hi)) {
        lo = 0;
        hi = 1;
    }
    if (hi < lo) {
        std::swap(lo, hi);
    }
    if (hi - lo < 1e-12) {
        const double half = std::max(std::abs(lo) * 0.01, 0.5);
        lo -= half;
        hi += half;
    }
    const double raw = (hi - lo) / std::max(count, 1);
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double normal = raw / magnitude;
    const double step = (normal < 1.5 ? 1 : normal < 3 ? 2 : normal < 7 ? 5 : 10) * magnitude;
    Ticks ticks;
    ticks.step = step;
    ticks.lo = std::floor(lo / step + 1e-9) * step;
    ticks.hi = std::ceil(hi / step - 1e-9) * step;
    ticks.decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
    for (double value = ticks.lo; value <= ticks.hi + step / 2; value += step) {
        // Summed steps drift: each tick is a whole multiple of the step.
        ticks.values.push_back(std::round(value / step) * step);
    }
    return ticks;
}

Ticks TimeTicks(double span) {
    if (!(span > 0) || !std::isfinite(span)) {
        span = 1;
    }
    Ticks ticks = RoundTicks(0, span, 8);
    std::erase_if(ticks.values, [&](double value) { return value > span * (1 + 1e-9); });
    ticks.lo = 0;
    ticks.hi = span;
    return ticks;
}

int ColumnOf(double t, double t0, double t1, int columns) {
    if (columns <= 1 || !(t1 > t0)) {
        return 0;
    }
    const double at = std::floor((t - t0) / (t1 - t0) * columns);
    return static_cast<int>(std::clamp(at, 0.0, static_cast<double>(columns - 1)));
}

std::vector<std::optional<Column>> ReduceToColumns(std::span<const TimeSeries::Point> points,
                                                   double t0, double t1, int columns) {
    std::vector<std::optional<Column>> reduced(static_cast<std::size_t>(std::max(columns, 1)));
    for (const TimeSeries::Point& point : points) {
        auto& column = reduced[static_cast<std::size_t>(ColumnOf(point.t, t0, t1, columns))];
        if (!column) {
            column = Column{point.least, point.greatest, 1};
            continue;
        }
        column->least = std::min(column->least, point.least);
        column->greatest = std::max(column->greatest, point.greatest);
        ++column->points;
    }
    return reduced;
}

void DrawTimeAxis(Svg& svg, const Frame& frame, const Ticks& ticks, double y) {
    const Scale x(ticks.lo, ticks.hi, frame.left, frame.Right());
    svg.Line(frame.left, y, frame.Right(), y, "axis");
    for (const double value : ticks.values) {
        const double at = x(value);
        svg.Line(at, frame.top, at, y, "grid");
        svg.Line(at, y, at, y + 4, "axis");
        svg.Text(at, y + 15, Num(value, ticks.decimals), {}, Svg::Anchor::Middle);
    }
    svg.Text(frame.Right(), y + 29, "time since the start (s)", "unit", Svg::Anchor::End);
}

void DrawValueAxis(Svg& svg, const Frame& frame, const Scale& y, const Ticks& ticks,
                   std::string_view unit) {
    svg.Line(frame.left, frame.top, frame.left, frame.Bottom(), "axis");
    for (const double value : ticks.values) {
        const double at = y(value);
        svg.Line(frame.left, at, frame.Right(), at, "grid");
        svg.Line(frame.left - 4, at, frame.left, at, "axis");
        svg.Text(frame.left - 6, at + 4, Num(value, ticks.decimals), {}, Svg::Anchor::End);
    }
    svg.Text(frame.left - 6, frame.top - 10, unit, "unit", Svg::Anchor::End);
}

void DrawColumns(Svg& svg, const Frame& frame, const Scale& y,
                 const std::vector<std::optional<Column>>& columns, double factor,
                 std::string_view cls) {
    const auto used = static_cast<std::size_t>(
        std::count_if(columns.begin(), columns.end(), [](const auto& c) { return c.has_value(); }));
    const std::string dots = std::string(cls) + " dot";
    PathData strokes;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (!columns[i]) {
            continue;
        }
        const double x = frame.left + static_cast<double>(i) + 0.5;
        const double top = y(columns[i]->greatest * factor);
        const double bottom = y(columns[i]->least * factor);
        if (used < kDotsBelow) {
            svg.Circle(x, top, 2, dots);
            if (bottom - top >= 2) {
                svg.Circle(x, bottom, 2, dots);
                strokes.MoveTo(x, top);
                strokes.VerticalTo(bottom);
            }
            continue;
        }
        const double middle = (top + bottom) / 2;
        strokes.MoveTo(x, std::min(top, middle - 1));
        strokes.VerticalTo(std::max(bottom, middle + 1));
    }
    svg.Path(strokes, cls);
}

void DrawMarkLane(Svg& svg, const Frame& lane, std::span<const Mark> marks, MarkKind kind,
                  double t0, double t1, std::uint64_t total) {
    const std::string name = MarkName(kind);
    const std::string cls = "mark m-" + name;
    svg.Rect(lane.left, lane.top, lane.width, lane.height, "lane");
    svg.Text(lane.left - 6, lane.top + lane.height - 3, name + " " + std::to_string(total),
             "lane-name " + cls, Svg::Anchor::End);
    const int columns = static_cast<int>(lane.width);
    struct Gathered {
        std::uint64_t count = 0;
        double first = 0, last = 0;
        std::int32_t seq = -1;
    };
    std::vector<Gathered> gathered(static_cast<std::size_t>(std::max(columns, 1)));
    for (const Mark& mark : marks) {
        if (mark.kind != kind || mark.count == 0) {
            continue;
        }
        Gathered& column = gathered[static_cast<std::size_t>(ColumnOf(mark.t, t0, t1, columns))];
        // Hooks may add marks a little out of order: the earliest and the latest, whichever came
        // first.
        if (column.count == 0) {
            column.first = column.last = mark.t;
            column.seq = mark.seq;
        }
        column.count += mark.count;
        column.first = std::min(column.first, mark.t);
        column.last = std::max(column.last, mark.t);
    }
    for (std::size_t i = 0; i < gathered.size(); ++i) {
        const Gathered& column = gathered[i];
        if (column.count == 0) {
            continue;
        }
        std::string tip =
            name + ": " + std::to_string(column.count) + " at " + Num(column.first, 3) + " s";
        if (column.last != column.first) {
            tip += " to " + Num(column.last, 3) + " s";
        } else if (column.seq >= 0) {
            tip += " (Seq " + std::to_string(column.seq) + ")";
        }
        const double x = lane.left + static_cast<double>(i) + 0.5;
        svg.Rect(x - 1, lane.top + 1, 2, lane.height - 2, cls, tip);
    }
}

}  // namespace peer
