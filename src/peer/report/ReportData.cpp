#include "peer/report/ReportData.h"

#include <algorithm>
#include <cmath>
#include <string_view>

namespace peer {

TimeSeries::TimeSeries(std::size_t capacity)
    // Pairs fold whole: an even number of points, at least one pair.
    : capacity_(std::max<std::size_t>(2, capacity & ~std::size_t{1})) {}

void TimeSeries::Add(double t, double value) {
    const auto v = static_cast<float>(value);
    ++count_;
    lastTime_ = t;
    if (gathered_ == 0) {
        gathering_ = {t, v, v};
    } else {
        gathering_.least = std::min(gathering_.least, v);
        gathering_.greatest = std::max(gathering_.greatest, v);
    }
    if (++gathered_ < perPoint_) {
        return;
    }
    points_.push_back(gathering_);
    gathered_ = 0;
    if (points_.size() < capacity_) {
        return;
    }
    for (std::size_t i = 0; i < points_.size() / 2; ++i) {
        const Point& a = points_[2 * i];
        const Point& b = points_[2 * i + 1];
        points_[i] = {a.t, std::min(a.least, b.least), std::max(a.greatest, b.greatest)};
    }
    points_.resize(points_.size() / 2);
    perPoint_ *= 2;
}

std::vector<TimeSeries::Point> TimeSeries::Points() const {
    std::vector<Point> points = points_;
    if (gathered_ > 0) {
        points.push_back(gathering_);
    }
    return points;
}

int SpacingHistogram::BinOf(double seconds) {
    const auto us = static_cast<std::int64_t>(std::llround(seconds * 1e6));
    if (us < kLowMicroseconds) {
        return -1;
    }
    if (us >= kHighMicroseconds) {
        return kBins;
    }
    return static_cast<int>((us - kLowMicroseconds) / kBinMicroseconds);
}

void SpacingHistogram::Add(double seconds) {
    ++total_;
    const int bin = BinOf(seconds);
    if (bin < 0) {
        ++below_;
    } else if (bin >= kBins) {
        ++above_;
    } else {
        ++bins_[static_cast<std::size_t>(bin)];
    }
}

const char* MarkName(MarkKind kind) {
    switch (kind) {
        case MarkKind::Stall:
            return "stall";
        case MarkKind::Dropped:
            return "dropped";
        case MarkKind::Duplicated:
            return "duplicated";
        case MarkKind::Reordered:
            return "reordered";
        case MarkKind::Delayed:
            return "delayed";
        case MarkKind::SeqGap:
            return "gap";
        case MarkKind::SeqDuplicate:
            return "duplicate";
        case MarkKind::SeqReorder:
            return "reorder";
        case MarkKind::Corrupted:
            return "corrupted";
        case MarkKind::MissingChunk:
            return "missing";
    }
    return "mark";
}

void ReportHead::TakeSummary(const nlohmann::ordered_json& printed) {
    summary = printed;
    if (!printed.is_object()) {
        return;
    }
    if (const auto found = printed.find("verdict"); found != printed.end() && found->is_string()) {
        verdict = found->get<std::string>();
    }
    if (const auto found = printed.find("reasons"); found != printed.end() && found->is_array()) {
        reasons.clear();
        for (const auto& reason : *found) {
            reasons.push_back(reason.is_string() ? reason.get<std::string>() : reason.dump());
        }
    }
}

void ReportData::AddMark(const Mark& mark) {
    markCounts[static_cast<std::size_t>(mark.kind)] += mark.count;
    if (marks.size() < kMarkCap) {
        marks.push_back(mark);
    }
}

std::optional<std::size_t> ReportData::AddReply(ReplyRecord reply) {
    if (replies.size() < kReplyCap) {
        replies.push_back(std::move(reply));
        return replies.size() - 1;
    }
    ++repliesOmitted;
    return std::nullopt;
}

void ReportData::AddStep(StepRecord step) {
    if (steps.size() < kStepCap) {
        steps.push_back(std::move(step));
    } else {
        ++stepsOmitted;
    }
}

double ReportData::Span() const {
    double span = head.lengthSeconds;
    for (const TimeSeries* series : {&sent.spacing, &received.spacing, &receivedSeq}) {
        span = std::max(span, series->LastTime());
    }
    for (const Mark& mark : marks) {
        span = std::max(span, mark.t);
    }
    for (const ReplyRecord& reply : replies) {
        span = std::max(span, reply.t + reply.latency.value_or(0));
    }
    if (!load.empty()) {
        span = std::max(span, load.back().start + loadIntervalSeconds);
    }
    for (const StepRecord& step : steps) {
        if (step.outcome != StepRecord::Outcome::NotReached) {
            span = std::max(span, step.end);
        }
    }
    return span;
}

std::string ShellQuoted(std::span<const char* const> arguments) {
    constexpr std::string_view kPlain =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-./:=,+@%";
    std::string line;
    for (const char* argument : arguments) {
        const std::string_view text = argument != nullptr ? argument : "";
        if (!line.empty()) {
            line += ' ';
        }
        if (!text.empty() && text.find_first_not_of(kPlain) == std::string_view::npos) {
            line += text;
            continue;
        }
        line += '\'';
        for (const char c : text) {
            if (c == '\'') {
                line += "'\\''";
            } else {
                line += c;
            }
        }
        line += '\'';
    }
    return line;
}

}  // namespace peer
