#pragma once
// The figures of a run, taken from every datagram that passes the wire: counts, the spacing of
// voice as sent and as received, the Seq order of what the other side numbered, reply latency.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "peer/session/Wire.h"

namespace peer {

// Measured durations in seconds. A long run keeps a uniform sample of at most `capacity` of them
// (the extremes exactly), so its memory stays bounded.
class Samples {
  public:
    explicit Samples(std::size_t capacity = 10'000'000) : capacity_(capacity) {}
    void Add(double seconds);
    void Clear();
    const std::vector<double>& Kept() const { return kept_; }
    double Min() const { return min_; }
    double Max() const { return max_; }

  private:
    std::size_t capacity_;
    std::vector<double> kept_;
    std::uint64_t seen_ = 0;
    std::uint64_t random_ = 0x9E3779B97F4A7C15u;
    double min_ = 0, max_ = 0;
};

// Median, 99th percentile (nearest rank), largest and smallest.
struct Spread {
    bool measured = false;  // there was something to measure
    double median = 0, p99 = 0, max = 0, min = 0;
};
Spread SpreadOf(const Samples& samples);
// A spread in milliseconds; null when there is nothing to measure.
nlohmann::ordered_json SpreadMs(const Spread& spread, bool withMin = true);
nlohmann::ordered_json SpreadMs(const Samples& samples, bool withMin = true);

// Follows the Seq of the requests and voice another endpoint numbered, by its own rules: one
// counter for both, a request's Seq runs on from 0 after 65535, a voice datagram's from 1. A Seq
// that skips ahead leaves a gap; one that fills a gap later was reordered; one seen before (or
// behind without a gap to fill) is a duplicate.
class SeqCheck {
  public:
    void Take(std::uint16_t seq, bool voice);
    std::uint64_t Gaps() const { return gaps_; }
    std::uint64_t Duplicates() const { return duplicates_; }
    std::uint64_t Reordered() const { return reordered_; }
    // As new, in time of the gaps it holds rather than of all 65536 numbers.
    void Reset();

  private:
    void Forget();

    bool started_ = false;
    std::uint16_t expected_ = 0;
    // Sized at the first gap: a stream in order, as most calls' are, keeps no bit of it.
    std::vector<bool> missing_;
    std::vector<std::uint16_t> missingOrder_;
    std::size_t missingFront_ = 0;
    std::uint64_t gaps_ = 0;
    std::uint64_t duplicates_ = 0;
    std::uint64_t reordered_ = 0;
};

class Figures final : public DatagramTap {
  public:
    Figures();
    ~Figures() override;

    // Answering as several phones (DatagramEvent::phone), named by their local address and port:
    // each has its call going on, its Seq and its spacing, and each call listed names its phone.
    // A phone's call keeps a smaller sample of its spacings, as there are many of them at once.
    void SetPhones(std::vector<std::string> names);

    void OnDatagram(const DatagramEvent& event) override;

    // The request OnDatagram was just given, a Ring accepted while idle, starts a new call from
    // `caller`: the Seq of what the other side numbers and the spacing of voice start over with
    // it, so a call's numbers are not taken for duplicates of the last one's, nor the pause
    // between them for spacing. The totals go on over every call.
    void StartCall(const DatagramEvent& ring, const std::string& caller);
    // Each call's own figures, in order: the first kListedCalls of them, enough to tell a few calls
    // apart while a load of Rings, each a call of its own, keeps the summary line short.
    static constexpr std::size_t kListedCalls = 100;
    nlohmann::ordered_json Calls() const;
    std::uint64_t CallCount() const { return calls_; }

    void AddReplyLatency(double seconds) { latencies_.Add(seconds); }
    void CountAnswered(std::uint64_t count = 1) { requestsAnswered_ += count; }
    // The last voice datagram's send time against its own deadline, and the stalls on the way.
    void SetVoiceTiming(double driftSeconds, std::uint64_t stalls) {
        drift_ = driftSeconds;
        stalls_ = stalls;
        voiceTimed_ = true;
    }
    void SetSendErrors(std::uint64_t errors) { sendErrors_ = errors; }

    std::uint64_t DatagramsSent() const { return datagramsSent_; }
    std::uint64_t VoiceSent() const { return voiceSent_; }
    std::uint64_t VoiceReceived() const { return voiceReceived_; }
    std::uint64_t RequestsAnswered() const { return requestsAnswered_; }
    // Seq gaps, duplicates and reorders so far, over every call.
    std::uint64_t SeqEvents() const;

    // Every figure of the summary but the verdict.
    nlohmann::ordered_json Summary() const;

  private:
    // What is counted from a call's Ring to the next one (before the first: from the start).
    struct Counts {
        std::uint64_t datagramsSent = 0, datagramsReceived = 0, voiceSent = 0, voiceReceived = 0,
                      requestsReceived = 0, repliesSent = 0;
    };
    struct SeqCounts {
        std::uint64_t gaps = 0, duplicates = 0, reordered = 0;
    };
    // A call's figures as kept once it ended; made into JSON only for the summary.
    struct EndedCall {
        std::string phone;  // empty: the run's only one
        std::string caller;
        double start = 0;
        Counts counts;
        SeqCounts seq;
        Spread sentSpacing, receivedSpacing;
        nlohmann::ordered_json Summary() const;
    };

    std::uint64_t datagramsSent_ = 0, datagramsReceived_ = 0;
    std::uint64_t voiceSent_ = 0, voiceReceived_ = 0;
    std::uint64_t requestsSent_ = 0, requestsReceived_ = 0;
    std::uint64_t repliesSent_ = 0, repliesReceived_ = 0;
    std::uint64_t requestsAnswered_ = 0;
    std::uint64_t sendErrors_ = 0;
    std::map<std::string, std::uint64_t, std::less<>> ignored_;
    double lastVoiceSent_ = -1, lastVoiceReceived_ = -1;
    Samples sentSpacing_, receivedSpacing_, latencies_;
    // A phone's call going on: its counts, its Seq check, its spacing.
    struct Track;
    Track& TrackOf(std::uint32_t phone);
    EndedCall CallOf(const Track& track, const SeqCounts& seq) const;
    void KeepEnded(EndedCall call);

    std::vector<std::unique_ptr<Track>> tracks_;  // made as each phone is first heard of
    std::vector<std::string> phoneNames_;
    std::size_t trackSamples_ = 100'000;
    SeqCounts seqOfEndedCalls_;
    std::uint64_t calls_ = 0;
    std::vector<EndedCall> endedCalls_;  // the earliest started kListedCalls
    double drift_ = 0;
    std::uint64_t stalls_ = 0;
    bool voiceTimed_ = false;
};

// Milliseconds rounded to the microsecond, as the summary shows them.
double Ms(double seconds);

}  // namespace peer
