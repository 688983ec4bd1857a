#include "peer/report/Pictures.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "peer/report/Charts.h"
#include "peer/report/Svg.h"

namespace peer {
namespace {

constexpr int kWidth = 960;
constexpr double kLeft = 112;  // room for the lanes' names
constexpr double kPlotWidth = kWidth - kLeft - 24;
constexpr double kLaneHeight = 14;
constexpr double kLaneGap = 3;
constexpr double kNominalMs = 47;
// Replies are drawn one dot each up to this many; past it, as columns like the voice.
constexpr std::size_t kReplyDots = 2000;
// Replies labelled with their request's name up to this many.
constexpr std::size_t kReplyLabels = 12;
// Scenario steps drawn as rows up to this many; all of them are in the table.
constexpr std::size_t kStepRows = 2000;

std::string MsText(double seconds) {
    return Num(seconds * 1000, 3);
}

std::string Seconds(double seconds) {
    return Num(seconds, 3) + " s";
}

std::string Join(const std::vector<std::string>& parts, const char* between) {
    std::string text;
    for (const std::string& part : parts) {
        if (!text.empty()) {
            text += between;
        }
        text += part;
    }
    return text;
}

std::optional<double> SummaryNumber(const nlohmann::ordered_json& summary,
                                    std::initializer_list<const char*> path) {
    const nlohmann::ordered_json* at = &summary;
    for (const char* key : path) {
        if (!at->is_object() || !at->contains(key)) {
            return std::nullopt;
        }
        at = &(*at)[key];
    }
    return at->is_number() ? std::optional<double>(at->get<double>()) : std::nullopt;
}

// "median 47.051 ms, 99th percentile 47.136 ms, ..." of a spread in the summary, or nothing.
std::string SpreadText(const nlohmann::ordered_json& summary, const char* key) {
    static constexpr std::pair<const char*, const char*> kNames[] = {
        {"median", "median"}, {"p99", "99th percentile"}, {"max", "largest"}, {"min", "least"}};
    std::vector<std::string> parts;
    for (const auto& [field, name] : kNames) {
        if (const auto figure = SummaryFigure(summary, {key, field})) {
            parts.push_back(std::string(name) + " " + *figure + " ms");
        }
    }
    if (parts.empty()) {
        return {};
    }
    return "The summary's " + std::string(key) + ": " + Join(parts, ", ") + ".";
}

std::uint64_t CountOf(const ReportData& data, MarkKind kind) {
    return data.markCounts[static_cast<std::size_t>(kind)];
}

std::string MarksText(const ReportData& data, std::initializer_list<MarkKind> kinds) {
    std::vector<std::string> parts;
    for (const MarkKind kind : kinds) {
        parts.push_back(std::string(MarkName(kind)) + " " + std::to_string(CountOf(data, kind)));
    }
    return "Marks: " + Join(parts, ", ") + ".";
}

// The lanes of marks from `top` down, one per kind; returns where they end.
double DrawLanes(Svg& svg, const Frame& plot, const ReportData& data,
                 const std::vector<MarkKind>& kinds, double span, double top) {
    for (const MarkKind kind : kinds) {
        DrawMarkLane(svg, Frame{plot.left, top, plot.width, kLaneHeight}, data.marks, kind, 0, span,
                     CountOf(data, kind));
        top += kLaneHeight + kLaneGap;
    }
    return top;
}

double LanesHeight(std::size_t lanes) {
    return static_cast<double>(lanes) * (kLaneHeight + kLaneGap);
}

// The value range of reduced columns, widened to hold `lo` and `hi`.
std::pair<double, double> ColumnRange(const std::vector<std::optional<Column>>& columns,
                                      double factor, double lo, double hi) {
    for (const auto& column : columns) {
        if (column) {
            lo = std::min(lo, static_cast<double>(column->least) * factor);
            hi = std::max(hi, static_cast<double>(column->greatest) * factor);
        }
    }
    return {lo, hi};
}

// What a line of 11 px text takes, about: no font is measured here.
double TextWidth(const std::string& text) {
    return 6.2 * static_cast<double>(text.size());
}

void Key(Svg& svg, double& x, const std::string& text, const std::string& cls) {
    svg.Rect(x, 8, 10, 10, "swatch " + cls);
    svg.Text(x + 14, 17, text);
    x += 24 + TextWidth(text);
}

}  // namespace

std::optional<std::string> SummaryFigure(const nlohmann::ordered_json& summary,
                                         std::initializer_list<const char*> path) {
    const nlohmann::ordered_json* at = &summary;
    for (const char* key : path) {
        if (!at->is_object() || !at->contains(key)) {
            return std::nullopt;
        }
        at = &(*at)[key];
    }
    if (at->is_null() || at->is_object() || at->is_array()) {
        return std::nullopt;
    }
    return at->is_string() ? at->get<std::string>() : at->dump();
}

std::string SpacingPicture(const ReportData& data, Direction direction) {
    const bool sent = direction == Direction::Sent;
    const VoiceTrace& trace = sent ? data.sent : data.received;
    const char* key = sent ? "pacing_sent_ms" : "pacing_received_ms";
    const double span = data.Span();
    const Frame plot{kLeft, 34, kPlotWidth, 200};
    const auto reduced = ReduceToColumns(trace.spacing.Points(), 0, span, int(plot.width));
    const auto [lo, hi] = ColumnRange(reduced, 1000, kNominalMs - 1, kNominalMs + 1);
    const Ticks yTicks = RoundTicks(lo, hi, 6);
    const Scale y(yTicks.lo, yTicks.hi, plot.Bottom(), plot.top);

    // A capture cannot know the sender's schedule or impairments: its summary has no stalls.
    const bool scheduleKnown = SummaryFigure(data.head.summary, {"stalls"}).has_value();
    std::vector<MarkKind> lanes;
    if (sent && scheduleKnown) {
        lanes.push_back(MarkKind::Stall);
        for (const MarkKind kind :
             {MarkKind::Dropped, MarkKind::Duplicated, MarkKind::Reordered, MarkKind::Delayed}) {
            if (CountOf(data, kind) > 0) {
                lanes.push_back(kind);
            }
        }
    } else if (!sent) {
        lanes = {MarkKind::SeqGap, MarkKind::SeqDuplicate, MarkKind::SeqReorder};
    }
    const double lanesTop = plot.Bottom() + 8;
    const double axisY = lanesTop + LanesHeight(lanes.size()) + 2;

    std::string desc = "Spacing of each voice datagram " +
                       std::string(sent ? "sent" : "received (kernel receive stamps)") +
                       " from the one before, against time from 0 to " + Seconds(span) + ": " +
                       std::to_string(trace.spacing.Count()) + " spacings. ";
    if (trace.spacing.Count() > static_cast<std::uint64_t>(plot.width)) {
        desc += "Each pixel column shows the least and the greatest spacing in it. ";
    }
    desc += SpreadText(data.head.summary, key) + " Nominal 47 ms with a band of ±1 ms. ";
    if (sent && scheduleKnown) {
        desc += MarksText(data, {MarkKind::Stall, MarkKind::Dropped, MarkKind::Duplicated,
                                 MarkKind::Reordered, MarkKind::Delayed});
    } else if (sent) {
        desc += "Stalls and impairments of the sender are not known from a capture.";
    } else {
        desc += MarksText(data, {MarkKind::SeqGap, MarkKind::SeqDuplicate, MarkKind::SeqReorder});
    }

    Svg svg(data.idPrefix + (sent ? "spacing-sent" : "spacing-received"), kWidth, int(axisY + 36),
            sent ? "Spacing of the voice sent" : "Spacing of the voice received", desc);
    DrawValueAxis(svg, plot, y, yTicks, "spacing (ms)");
    svg.Rect(plot.left, y(kNominalMs + 1), plot.width, y(kNominalMs - 1) - y(kNominalMs + 1),
             "band");
    svg.Line(plot.left, y(kNominalMs), plot.Right(), y(kNominalMs), "nominal");
    DrawColumns(svg, plot, y, reduced, 1000, sent ? "data sent" : "data received");
    DrawLanes(svg, plot, data, lanes, span, lanesTop);
    DrawTimeAxis(svg, Frame{plot.left, plot.top, plot.width, axisY - plot.top}, TimeTicks(span),
                 axisY);
    double x = plot.left + 60;
    Key(svg, x, sent ? "spacing as sent" : "spacing as received", sent ? "sent" : "received");
    Key(svg, x, "nominal 47 ms", "nominal");
    Key(svg, x, "47 ms ± 1 ms", "band");
    return svg.Finish();
}

std::string HistogramPicture(const ReportData& data, Direction direction) {
    const bool sent = direction == Direction::Sent;
    const SpacingHistogram& histogram = (sent ? data.sent : data.received).histogram;
    const char* key = sent ? "pacing_sent_ms" : "pacing_received_ms";
    const Frame plot{kLeft, 48, kPlotWidth, 180};
    constexpr int kBins = SpacingHistogram::kBins;
    const double binWidth = plot.width / (kBins + 2);
    const double lowMs = SpacingHistogram::kLowMicroseconds / 1000.0;
    const double highMs = SpacingHistogram::kHighMicroseconds / 1000.0;
    const double binMs = SpacingHistogram::kBinMicroseconds / 1000.0;
    // Bin -1 holds what lies below, bin kBins what lies above.
    auto binX = [&](int bin) { return plot.left + (bin + 1) * binWidth; };
    auto msX = [&](double ms) {
        if (ms < lowMs) {
            return binX(-1) + binWidth / 2;
        }
        if (ms >= highMs) {
            return binX(kBins) + binWidth / 2;
        }
        return binX(0) + (ms - lowMs) / binMs * binWidth;
    };
    auto countOf = [&](int bin) {
        return bin < 0        ? histogram.Below()
               : bin >= kBins ? histogram.Above()
                              : histogram.Bins()[static_cast<std::size_t>(bin)];
    };
    std::uint64_t most = 0;
    for (int bin = -1; bin <= kBins; ++bin) {
        most = std::max(most, countOf(bin));
    }
    const Ticks yTicks = RoundTicks(0, std::max<double>(static_cast<double>(most), 5), 5);
    const Scale y(yTicks.lo, yTicks.hi, plot.Bottom(), plot.top);

    const auto median = SummaryNumber(data.head.summary, {key, "median"});
    const auto p99 = SummaryNumber(data.head.summary, {key, "p99"});
    const std::string low = Num(lowMs, 1), high = Num(highMs, 1);
    std::string desc =
        "Histogram of the spacing of the voice " + std::string(sent ? "sent" : "received") +
        " in bins of 0.1 ms from " + low + " to " + high +
        " ms, with one bin below and one above: " + std::to_string(histogram.Total()) +
        " spacings, " + std::to_string(histogram.Below()) + " below " + low + " ms, " +
        std::to_string(histogram.Above()) + " at " + high + " ms or above. ";
    if (median && p99) {
        desc += "Marked: median " + *SummaryFigure(data.head.summary, {key, "median"}) +
                " ms and 99th percentile " + *SummaryFigure(data.head.summary, {key, "p99"}) +
                " ms (the summary's " + key + ").";
    }

    Svg svg(
        data.idPrefix + (sent ? "histogram-sent" : "histogram-received"), kWidth,
        int(plot.Bottom() + 44),
        sent ? "Spacing histogram of the voice sent" : "Spacing histogram of the voice received",
        desc);
    DrawValueAxis(svg, plot, y, yTicks, "spacings");
    for (int bin = -1; bin <= kBins; ++bin) {
        const std::uint64_t count = countOf(bin);
        if (count == 0) {
            continue;
        }
        std::string range;
        if (bin < 0) {
            range = "below " + low + " ms";
        } else if (bin >= kBins) {
            range = high + " ms and above";
        } else {
            const double from = lowMs + bin * binMs;
            range = Num(from, 1) + " to " + Num(from + binMs, 1) + " ms";
        }
        const double top = y(static_cast<double>(count));
        svg.Rect(binX(bin) + 0.5, top, binWidth - 1, std::max(plot.Bottom() - top, 1.0),
                 bin < 0 || bin >= kBins ? "bar outside"
                 : sent                  ? "bar sent"
                                         : "bar received",
                 range + ": " + std::to_string(count));
    }
    const double axisY = plot.Bottom();
    svg.Line(plot.left, axisY, plot.Right(), axisY, "axis");
    for (int ms = static_cast<int>(lowMs); ms <= static_cast<int>(highMs); ++ms) {
        const double x = binX(0) + (ms - lowMs) / binMs * binWidth;
        svg.Line(x, axisY, x, axisY + 4, "axis");
        svg.Text(x, axisY + 15, std::to_string(ms), {}, Svg::Anchor::Middle);
    }
    // The outer bins' labels a line lower: they sit right next to the range's ends.
    svg.Text(msX(0), axisY + 29, "<" + low, {}, Svg::Anchor::Middle);
    svg.Text(msX(highMs), axisY + 29, "≥" + high, {}, Svg::Anchor::Middle);
    svg.Text(plot.left + plot.width / 2, axisY + 29, "spacing (ms)", "unit", Svg::Anchor::Middle);
    auto marker = [&](double ms, const std::string& label, const char* cls, double labelY) {
        const double x = msX(ms);
        svg.Line(x, plot.top - 4, x, plot.Bottom(), cls);
        const bool right = x > plot.left + plot.width / 2;
        svg.Text(right ? x - 4 : x + 4, labelY, label, std::string("key k-") + cls,
                 right ? Svg::Anchor::End : Svg::Anchor::Start);
    };
    if (median) {
        marker(*median, "median " + *SummaryFigure(data.head.summary, {key, "median"}) + " ms",
               "median", plot.top - 22);
    }
    if (p99) {
        marker(*p99, "p99 " + *SummaryFigure(data.head.summary, {key, "p99"}) + " ms", "p99",
               plot.top - 8);
    }
    return svg.Finish();
}

std::string SeqPicture(const ReportData& data) {
    const double span = data.Span();
    const Frame plot{kLeft, 34, kPlotWidth, 200};
    const auto reduced = ReduceToColumns(data.receivedSeq.Points(), 0, span, int(plot.width));
    double lo = 65535, hi = 0;
    for (const auto& column : reduced) {
        if (column) {
            lo = std::min<double>(lo, column->least);
            hi = std::max<double>(hi, column->greatest);
        }
    }
    if (hi < lo) {
        lo = 0;
        hi = 1;
    }
    Ticks yTicks = RoundTicks(lo, hi, 6);
    yTicks.decimals = 0;
    const Scale y(yTicks.lo, yTicks.hi, plot.Bottom(), plot.top);
    std::vector<MarkKind> lanes = {MarkKind::SeqGap, MarkKind::SeqDuplicate, MarkKind::SeqReorder};
    if (data.voiceChecked) {
        lanes.push_back(MarkKind::Corrupted);
        lanes.push_back(MarkKind::MissingChunk);
    }
    const double lanesTop = plot.Bottom() + 8;
    const double axisY = lanesTop + LanesHeight(lanes.size()) + 2;

    const auto& summary = data.head.summary;
    std::string desc = "Seq of each voice datagram received, against time from 0 to " +
                       Seconds(span) + ": " + std::to_string(data.receivedSeq.Count()) +
                       " datagrams";
    if (data.receivedSeq.Count() > 0) {
        desc += ", Seq " + Num(lo, 0) + " to " + Num(hi, 0);
    }
    desc += ". ";
    std::vector<std::string> figures;
    for (const char* key : {"seq_gaps", "seq_duplicates", "seq_reordered"}) {
        if (const auto figure = SummaryFigure(summary, {key})) {
            figures.push_back(std::string(key) + " " + *figure);
        }
    }
    if (!figures.empty()) {
        desc += "The summary's " + Join(figures, ", ") + ". ";
    }
    desc += MarksText(data, {MarkKind::SeqGap, MarkKind::SeqDuplicate, MarkKind::SeqReorder});
    if (data.voiceChecked) {
        desc += " Voice check: " + std::to_string(CountOf(data, MarkKind::Corrupted)) +
                " corrupted, " + std::to_string(CountOf(data, MarkKind::MissingChunk)) +
                " missing chunks.";
    }

    Svg svg(data.idPrefix + "seq-received", kWidth, int(axisY + 36), "Seq of the voice received",
            desc);
    DrawValueAxis(svg, plot, y, yTicks, "Seq");
    DrawColumns(svg, plot, y, reduced, 1, "data received");
    DrawLanes(svg, plot, data, lanes, span, lanesTop);
    DrawTimeAxis(svg, Frame{plot.left, plot.top, plot.width, axisY - plot.top}, TimeTicks(span),
                 axisY);
    return svg.Finish();
}

std::string RepliesPicture(const ReportData& data) {
    const double span = data.Span();
    const Frame plot{kLeft, 34, kPlotWidth, 180};
    double most = 0;
    std::uint64_t unanswered = 0;
    std::vector<TimeSeries::Point> latencies;
    for (const ReplyRecord& reply : data.replies) {
        if (reply.latency) {
            most = std::max(most, *reply.latency * 1000);
            latencies.push_back(
                {reply.t, static_cast<float>(*reply.latency), static_cast<float>(*reply.latency)});
        } else {
            ++unanswered;
        }
    }
    const Ticks yTicks = RoundTicks(0, std::max(most, 0.001), 5);
    const Scale y(yTicks.lo, yTicks.hi, plot.Bottom(), plot.top);
    const Scale x(0, span, plot.left, plot.Right());
    const double laneTop = plot.Bottom() + 8;
    const double axisY = laneTop + kLaneHeight + kLaneGap + 2;

    std::string desc = "Reply latency of each request against the time it was sent: " +
                       std::to_string(data.replies.size() + data.repliesOmitted) + " requests, " +
                       std::to_string(latencies.size()) + " answered";
    if (data.repliesOmitted > 0) {
        desc += " of the first " + std::to_string(data.replies.size()) + " drawn";
    }
    desc += ", " + std::to_string(unanswered) + " without a reply. " +
            SpreadText(data.head.summary, "reply_latency_ms");

    Svg svg(data.idPrefix + "replies", kWidth, int(axisY + 36), "Reply latency", desc);
    DrawValueAxis(svg, plot, y, yTicks, "latency (ms)");
    if (data.replies.size() <= kReplyDots) {
        const bool labelled = data.replies.size() <= kReplyLabels;
        for (const ReplyRecord& reply : data.replies) {
            if (!reply.latency) {
                continue;  // on the lane below
            }
            const std::string status =
                reply.status ? "status " + std::to_string(*reply.status) : "no status";
            const double cx = x(reply.t), cy = y(*reply.latency * 1000);
            svg.Circle(cx, cy, 3, "reply",
                       reply.request + " at " + Seconds(reply.t) + ": " + status + ", " +
                           MsText(*reply.latency) + " ms");
            if (labelled) {
                const bool left = cx > plot.Right() - 120;
                svg.Text(left ? cx - 5 : cx + 5, cy - 5, reply.request, "reply-name",
                         left ? Svg::Anchor::End : Svg::Anchor::Start);
            }
        }
    } else {
        DrawColumns(svg, plot, y, ReduceToColumns(latencies, 0, span, int(plot.width)), 1000,
                    "reply");
    }
    // Requests without a reply on a lane of their own, each with its name.
    svg.Rect(plot.left, laneTop, plot.width, kLaneHeight, "lane");
    svg.Text(plot.left - 6, laneTop + kLaneHeight - 3, "no reply " + std::to_string(unanswered),
             "lane-name mark m-noreply", Svg::Anchor::End);
    for (const ReplyRecord& reply : data.replies) {
        if (!reply.latency) {
            svg.Rect(x(reply.t) - 1, laneTop + 1, 2, kLaneHeight - 2, "mark m-noreply",
                     reply.request + " at " + Seconds(reply.t) + ": no reply");
        }
    }
    DrawTimeAxis(svg, Frame{plot.left, plot.top, plot.width, axisY - plot.top}, TimeTicks(span),
                 axisY);
    return svg.Finish();
}

std::string LoadCountsPicture(const ReportData& data) {
    const double span = data.Span();
    const Frame plot{kLeft, 34, kPlotWidth, 180};
    const double interval = data.loadIntervalSeconds;
    std::uint64_t most = 0, sent = 0, replies = 0;
    for (const LoadInterval& each : data.load) {
        most = std::max({most, each.sent, each.replies});
        sent += each.sent;
        replies += each.replies;
    }
    const Ticks yTicks = RoundTicks(0, std::max<double>(static_cast<double>(most), 5), 5);
    const Scale y(yTicks.lo, yTicks.hi, plot.Bottom(), plot.top);
    const Scale x(0, span, plot.left, plot.Right());
    PathData sentLine, repliesLine;
    for (const LoadInterval& each : data.load) {
        const double from = x(each.start), to = x(each.start + interval);
        const auto step = [&](PathData& line, std::uint64_t count) {
            const double at = y(static_cast<double>(count));
            if (line.Empty()) {
                line.MoveTo(from, at);
            } else {
                line.LineTo(from, at);
            }
            line.LineTo(to, at);
        };
        step(sentLine, each.sent);
        step(repliesLine, each.replies);
    }
    const std::string per = Num(interval * 1000, 0) + " ms";
    std::string desc = "Requests sent and replies received in each interval of " + per +
                       ", against time: " + std::to_string(data.load.size()) + " intervals, " +
                       std::to_string(sent) + " sent and " + std::to_string(replies) +
                       " replies in all";
    if (const auto answered = SummaryFigure(data.head.summary, {"load", "answered_percent"})) {
        desc += "; the summary's load.answered_percent " + *answered;
    }
    desc += ".";

    const double axisY = plot.Bottom();
    Svg svg(data.idPrefix + "load-counts", kWidth, int(axisY + 36),
            "Requests and replies per " + per, desc);
    DrawValueAxis(svg, plot, y, yTicks, "per " + per);
    svg.Path(sentLine, "series load-sent");
    svg.Path(repliesLine, "series load-replies");
    DrawTimeAxis(svg, plot, TimeTicks(span), axisY);
    double keyX = plot.left + 60;
    Key(svg, keyX, "requests sent", "load-sent");
    Key(svg, keyX, "replies", "load-replies");
    return svg.Finish();
}

std::string LoadLatencyPicture(const ReportData& data) {
    const double span = data.Span();
    const Frame plot{kLeft, 34, kPlotWidth, 180};
    const double interval = data.loadIntervalSeconds;
    double most = 0;
    for (const LoadInterval& each : data.load) {
        for (const auto& value : {each.median, each.p99, each.largest}) {
            most = std::max(most, value.value_or(0) * 1000);
        }
    }
    const Ticks yTicks = RoundTicks(0, std::max(most, 0.001), 5);
    const Scale y(yTicks.lo, yTicks.hi, plot.Bottom(), plot.top);
    const Scale x(0, span, plot.left, plot.Right());
    PathData lines[3];
    for (std::size_t which = 0; which < 3; ++which) {
        bool open = false;
        for (const LoadInterval& each : data.load) {
            const std::optional<double> value = which == 0   ? each.median
                                                : which == 1 ? each.p99
                                                             : each.largest;
            if (!value) {
                open = false;  // no reply in it: the line breaks
                continue;
            }
            const double at = x(each.start + interval / 2), level = y(*value * 1000);
            if (open) {
                lines[which].LineTo(at, level);
            } else {
                lines[which].MoveTo(at, level);
                lines[which].LineTo(at + 0.5, level);
            }
            open = true;
        }
    }
    const std::string per = Num(interval * 1000, 0) + " ms";
    const std::string desc = "Reply latency in each interval of " + per +
                             ": median, 99th percentile and largest, against time; " +
                             std::to_string(data.load.size()) + " intervals. " +
                             SpreadText(data.head.summary, "reply_latency_ms");

    const double axisY = plot.Bottom();
    Svg svg(data.idPrefix + "load-latency", kWidth, int(axisY + 36), "Reply latency per " + per,
            desc);
    DrawValueAxis(svg, plot, y, yTicks, "latency (ms)");
    svg.Path(lines[2], "series load-largest");
    svg.Path(lines[1], "series load-p99");
    svg.Path(lines[0], "series load-median");
    DrawTimeAxis(svg, plot, TimeTicks(span), axisY);
    double keyX = plot.left + 60;
    Key(svg, keyX, "median", "load-median");
    Key(svg, keyX, "99th percentile", "load-p99");
    Key(svg, keyX, "largest", "load-largest");
    return svg.Finish();
}

std::string ScenarioPicture(const ReportData& data) {
    const double span = data.Span();
    const std::size_t rows = std::min(data.steps.size(), kStepRows);
    const double rowHeight =
        std::clamp(480.0 / static_cast<double>(std::max<std::size_t>(rows, 1)), 3.0, 16.0);
    const Frame plot{kLeft, 34, kPlotWidth, rowHeight * static_cast<double>(rows)};
    const Scale x(0, span, plot.left, plot.Right());
    std::size_t passed = 0, notReached = 0;
    const StepRecord* failed = nullptr;
    for (const StepRecord& step : data.steps) {
        passed += step.outcome == StepRecord::Outcome::Passed;
        notReached += step.outcome == StepRecord::Outcome::NotReached;
        if (step.outcome == StepRecord::Outcome::Failed && failed == nullptr) {
            failed = &step;
        }
    }
    std::string failure;
    if (failed != nullptr) {
        failure =
            "line " + std::to_string(failed->line) + ": " + failed->text + ": " + failed->reason;
    }
    std::string desc = "The scenario's steps against time, one a row: " +
                       std::to_string(data.steps.size() + data.stepsOmitted) + " steps, " +
                       std::to_string(passed) + " passed, " +
                       std::to_string(failed != nullptr ? 1 : 0) + " failed, " +
                       std::to_string(notReached) + " not reached. ";
    desc += failed != nullptr ? "Failed at " + failure + "." : "No step failed.";

    const double axisY = plot.Bottom() + 4;
    const double height = axisY + 36 + (failed != nullptr ? 18 : 0);
    Svg svg(data.idPrefix + "scenario", kWidth, int(height), "Scenario steps", desc);
    const bool named = rowHeight >= 11;
    for (std::size_t i = 0; i < rows; ++i) {
        const StepRecord& step = data.steps[i];
        const double top = plot.top + rowHeight * static_cast<double>(i);
        const char* outcome = step.outcome == StepRecord::Outcome::Passed   ? "passed"
                              : step.outcome == StepRecord::Outcome::Failed ? "failed"
                                                                            : "not reached";
        const std::string cls = std::string("step ") +
                                (step.outcome == StepRecord::Outcome::Passed   ? "s-passed"
                                 : step.outcome == StepRecord::Outcome::Failed ? "s-failed"
                                                                               : "s-not-reached");
        if (named) {
            svg.Text(plot.left - 6, top + rowHeight - 4, "line " + std::to_string(step.line), cls,
                     Svg::Anchor::End);
        }
        std::string tip = "line " + std::to_string(step.line) + ": " + step.text + ": " + outcome;
        if (step.outcome == StepRecord::Outcome::NotReached) {
            if (named) {
                svg.Text(plot.left + 4, top + rowHeight - 4, step.text + " (not reached)", cls);
            }
            continue;
        }
        tip += ", " + Seconds(step.start) + " to " + Seconds(step.end);
        if (!step.reason.empty()) {
            tip += ": " + step.reason;
        }
        const double from = x(step.start), width = std::max(x(step.end) - from, 2.0);
        svg.Rect(from, top + 1, width, std::max(rowHeight - 2, 1.0), cls, tip);
        if (named) {
            // After the bar, else inside it, else before it; where none has room, the title
            // and the table still tell.
            const double textWidth = TextWidth(step.text);
            const double baseline = top + rowHeight - 4;
            if (from + width + 4 + textWidth < plot.Right()) {
                svg.Text(from + width + 4, baseline, step.text, cls);
            } else if (width > textWidth + 8) {
                svg.Text(from + 4, baseline, step.text, cls + " on-bar");
            } else if (from - 4 - textWidth > plot.left) {
                svg.Text(from - 4, baseline, step.text, cls, Svg::Anchor::End);
            }
        }
    }
    DrawTimeAxis(svg, Frame{plot.left, plot.top, plot.width, axisY - plot.top}, TimeTicks(span),
                 axisY);
    if (failed != nullptr) {
        svg.Text(plot.left, height - 6, "Failed at " + failure, "step s-failed failure");
    }
    return svg.Finish();
}

}  // namespace peer
