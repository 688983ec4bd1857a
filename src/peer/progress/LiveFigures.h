#pragma once
// The figures a running peer shows while it runs: for the status line those of the last second,
// for --interval those since the previous interval line. Events land in 100 ms buckets, each with
// fixed-size histograms, so memory stays the same at 20 datagrams a second or at 100,000.
//
// The voice spacing shown is that of the voice received, by the kernel's receive stamps: the
// pacing of the other side, which is what the run is there to judge; the peer's own sending is
// scheduled against absolute deadlines and reported in the summary.

#include <array>
#include <cstdint>
#include <optional>

#include "peer/figures/LatencyHistogram.h"

namespace peer {

struct ProgressFigures {
    double elapsed = 0;  // seconds since the run began
    std::optional<double> planned;
    // So far.
    std::uint64_t datagramsSent = 0, datagramsReceived = 0;
    std::uint64_t seqEvents = 0;  // gaps, duplicates and reorders
    // Over the last `span` seconds.
    double span = 0;
    std::uint64_t sentInSpan = 0, receivedInSpan = 0;
    std::optional<double> voiceSpacingP99;
    bool load = false;
    double requestRate = 0;               // requests a second
    std::optional<double> answeredShare;  // replies per request, at most 1; none without requests
    std::optional<double> latencyP99;
};

class LiveFigures {
  public:
    static constexpr double kBucket = 0.1;
    static constexpr int kWindowBuckets = 10;

    explicit LiveFigures(bool load = false) : load_(load) {}

    // Times are on the run's clock (seconds since it began), not decreasing.
    void Sent(double t, std::uint64_t count = 1);
    void Received(double t);
    // A received voice datagram (besides Received) and its kernel stamp.
    void VoiceReceived(double t, double stamp);
    // The loader's own: requests sent, and replies with their latency.
    void RequestsSent(double t, std::uint64_t count);
    void Replied(double t, double latencySeconds);
    // Seq events are counted elsewhere; the figure shown is the total so far.
    void SetSeqEvents(std::uint64_t total) { seqEvents_ = total; }

    // The last second as it stands at `now` (to the bucket: between 0.9 and 1 s).
    ProgressFigures LastSecond(double now, std::optional<double> planned) const;
    // Since the previous call (or the run's start); starts the next interval.
    ProgressFigures TakeInterval(double now, std::optional<double> planned);

  private:
    struct Tally {
        std::uint64_t sent = 0, received = 0, requests = 0, replies = 0;
        LatencyHistogram spacing, latency;
        void Clear();
        void Merge(const Tally& other);
    };
    struct Bucket {
        std::int64_t index = -1;
        Tally tally;
    };

    Tally* At(double t);
    ProgressFigures Describe(const Tally& tally, double now, double span,
                             std::optional<double> planned) const;

    bool load_;
    std::array<Bucket, kWindowBuckets + 1> buckets_;
    Tally interval_;
    double intervalStart_ = 0;
    std::uint64_t sent_ = 0, received_ = 0, seqEvents_ = 0;
    double lastVoiceStamp_ = 0;
    bool voiceSeen_ = false;
};

}  // namespace peer
