#include "peer/progress/LiveFigures.h"

#include <algorithm>
#include <cmath>

namespace peer {
namespace {

std::int64_t BucketIndex(double t) {
    return std::isfinite(t) && t > 0
               ? static_cast<std::int64_t>(std::floor(t / LiveFigures::kBucket))
               : 0;
}

}  // namespace

void LiveFigures::Tally::Clear() {
    sent = received = requests = replies = 0;
    spacing.Clear();
    latency.Clear();
}

void LiveFigures::Tally::Merge(const Tally& other) {
    sent += other.sent;
    received += other.received;
    requests += other.requests;
    replies += other.replies;
    spacing.Merge(other.spacing);
    latency.Merge(other.latency);
}

LiveFigures::Tally* LiveFigures::At(double t) {
    const std::int64_t index = BucketIndex(t);
    Bucket& bucket = buckets_[static_cast<std::size_t>(index) % buckets_.size()];
    if (bucket.index > index) {
        return nullptr;  // older than the window: only the interval and the totals count it
    }
    if (bucket.index < index) {
        // Last used a whole window ago.
        bucket.index = index;
        bucket.tally.Clear();
    }
    return &bucket.tally;
}

void LiveFigures::Sent(double t, std::uint64_t count) {
    sent_ += count;
    if (Tally* tally = At(t)) {
        tally->sent += count;
    }
    interval_.sent += count;
}

void LiveFigures::Received(double t) {
    ++received_;
    if (Tally* tally = At(t)) {
        ++tally->received;
    }
    ++interval_.received;
}

void LiveFigures::VoiceReceived(double t, double stamp) {
    if (voiceSeen_) {
        const double spacing = stamp - lastVoiceStamp_;
        if (Tally* tally = At(t)) {
            tally->spacing.Add(spacing);
        }
        interval_.spacing.Add(spacing);
    }
    voiceSeen_ = true;
    lastVoiceStamp_ = stamp;
}

void LiveFigures::RequestsSent(double t, std::uint64_t count) {
    if (Tally* tally = At(t)) {
        tally->requests += count;
    }
    interval_.requests += count;
}

void LiveFigures::Replied(double t, double latencySeconds) {
    if (Tally* tally = At(t)) {
        ++tally->replies;
        tally->latency.Add(latencySeconds);
    }
    ++interval_.replies;
    interval_.latency.Add(latencySeconds);
}

ProgressFigures LiveFigures::LastSecond(double now, std::optional<double> planned) const {
    const std::int64_t newest = BucketIndex(now);
    const std::int64_t oldest = std::max<std::int64_t>(0, newest - (kWindowBuckets - 1));
    Tally window;
    for (const Bucket& bucket : buckets_) {
        if (bucket.index >= oldest && bucket.index <= newest) {
            window.Merge(bucket.tally);
        }
    }
    return Describe(window, now, now - static_cast<double>(oldest) * kBucket, planned);
}

ProgressFigures LiveFigures::TakeInterval(double now, std::optional<double> planned) {
    ProgressFigures figures = Describe(interval_, now, now - intervalStart_, planned);
    interval_.Clear();
    intervalStart_ = now;
    return figures;
}

ProgressFigures LiveFigures::Describe(const Tally& tally, double now, double span,
                                      std::optional<double> planned) const {
    ProgressFigures figures;
    figures.elapsed = now;
    figures.planned = planned;
    figures.datagramsSent = sent_;
    figures.datagramsReceived = received_;
    figures.seqEvents = seqEvents_;
    figures.span = std::max(span, 0.0);
    figures.sentInSpan = tally.sent;
    figures.receivedInSpan = tally.received;
    figures.voiceSpacingP99 = tally.spacing.Percentile(0.99);
    figures.load = load_;
    if (load_) {
        figures.requestRate =
            figures.span > 0 ? static_cast<double>(tally.requests) / figures.span : 0;
        if (tally.requests > 0) {
            // Replies to requests of the span before it; at a steady rate the two even out.
            figures.answeredShare = std::min(
                1.0, static_cast<double>(tally.replies) / static_cast<double>(tally.requests));
        }
        figures.latencyP99 = tally.latency.Percentile(0.99);
    }
    return figures;
}

}  // namespace peer
