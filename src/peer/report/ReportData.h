#pragma once
// What an HTML report shows, as a live run or a capture fills it: the head with the summary, the
// voice as sent and as received (time, spacing, Seq), marks where something happened, the replies,
// the load's intervals and the scenario's steps. Times are seconds since the run (or the
// capture) began, on the same clock as DatagramEvent::t.
//
// Memory stays bounded whatever the length: per-datagram series fold in pairs past a capacity
// (keeping every extreme), the spacing histograms have fixed bins, and lists of replies and marks
// stop growing at a cap while their counts go on.

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace peer {

// Values against time, added in order of time. A point holds the least and the greatest value of
// the datagrams it stands for: one each until `capacity` points are held, then neighbours fold in
// pairs and every later point stands for twice as many. A one-hour call (76,596 voice datagrams)
// stays one point per datagram.
class TimeSeries {
  public:
    struct Point {
        double t = 0;  // of the first value it holds
        float least = 0;
        float greatest = 0;
    };
    static constexpr std::size_t kDefaultCapacity = 1 << 18;

    explicit TimeSeries(std::size_t capacity = kDefaultCapacity);
    void Add(double t, double value);

    // Every value added, the one still being gathered into a point included.
    std::vector<Point> Points() const;
    std::uint64_t Count() const { return count_; }
    // Values each stored point stands for: 1 until the first fold.
    std::uint64_t PerPoint() const { return perPoint_; }
    // The time of the last value added; 0 when none was.
    double LastTime() const { return lastTime_; }

  private:
    std::size_t capacity_;
    std::vector<Point> points_;
    std::uint64_t count_ = 0;
    std::uint64_t perPoint_ = 1;
    Point gathering_;
    std::uint64_t gathered_ = 0;
    double lastTime_ = 0;
};

// Voice spacing in bins of 0.1 ms from 42 ms to 52 ms, and one bin each for what lies below and
// above. Spacings are taken to the microsecond, as the summary rounds them, so a bin edge is
// exact: 42.100 ms is the second bin's first value.
class SpacingHistogram {
  public:
    static constexpr int kBins = 100;
    static constexpr std::int64_t kLowMicroseconds = 42'000;
    static constexpr std::int64_t kBinMicroseconds = 100;
    static constexpr std::int64_t kHighMicroseconds = kLowMicroseconds + kBins * kBinMicroseconds;

    void Add(double seconds);
    const std::array<std::uint64_t, kBins>& Bins() const { return bins_; }
    std::uint64_t Below() const { return below_; }
    std::uint64_t Above() const { return above_; }
    std::uint64_t Total() const { return total_; }
    // The bin a spacing falls in: -1 below the range, kBins above it.
    static int BinOf(double seconds);

  private:
    std::array<std::uint64_t, kBins> bins_{};
    std::uint64_t below_ = 0, above_ = 0, total_ = 0;
};

// One direction of the voice: every datagram's time and its spacing to the one before.
struct VoiceTrace {
    TimeSeries spacing;  // seconds, at the time of the later datagram
    SpacingHistogram histogram;
    std::uint64_t datagrams = 0;
};

enum class MarkKind : std::uint8_t {
    // The sent voice: the schedule woke late by more than a period; what the impairments did.
    Stall,
    Dropped,
    Duplicated,
    Reordered,
    Delayed,
    // The received Seq, by the figures' rules.
    SeqGap,
    SeqDuplicate,
    SeqReorder,
    // The voice check: a chunk that matched nothing near it, a chunk that never came.
    Corrupted,
    MissingChunk,
};
inline constexpr int kMarkKinds = 10;
// "stall", "dropped", ... as the report names them.
const char* MarkName(MarkKind kind);

struct Mark {
    double t = 0;
    MarkKind kind = MarkKind::Stall;
    std::int32_t seq = -1;    // the Seq concerned (a gap: its first missing one); -1: none
    std::uint32_t count = 1;  // a gap: its Seqs still missing (0: all came late, not drawn)
};

struct ReplyRecord {
    double t = 0;  // when the request went out
    std::string request;
    std::optional<std::int16_t> status;  // none: no reply came
    std::optional<double> latency;       // seconds
};

// One interval of `load`; latencies in seconds, none when no reply fell in it.
struct LoadInterval {
    double start = 0;
    std::uint64_t sent = 0;
    std::uint64_t replies = 0;
    std::optional<double> median, p99, largest;
};

struct StepRecord {
    enum class Outcome { Passed, Failed, NotReached };
    int line = 0;
    std::string text;
    Outcome outcome = Outcome::NotReached;
    double start = 0, end = 0;  // meaningless when not reached
    std::string reason;         // why it failed
};

struct ReportHead {
    std::string commandLine;
    std::string local, peer;
    double startedAt = 0;  // real-time seconds since the epoch; 0: unknown
    double lengthSeconds = 0;
    std::string verdict;
    std::vector<std::string> reasons;
    // The summary as printed; its figures go into the head table as they are.
    nlohmann::ordered_json summary;

    // Keeps `summary`, and takes the verdict and reasons from it where it has them.
    void TakeSummary(const nlohmann::ordered_json& printed);
};

struct ReportData {
    static constexpr std::size_t kMarkCap = 1 << 18;
    static constexpr std::size_t kReplyCap = 1 << 16;
    static constexpr std::size_t kStepCap = 1 << 16;

    ReportHead head;
    // Put before every id the report's page gives: a page may hold several reports.
    std::string idPrefix;
    VoiceTrace sent, received;
    TimeSeries receivedSeq;   // the Seq of each voice datagram received
    std::vector<Mark> marks;  // in the order they were made; at most kMarkCap
    // All of them, kept or not; for gaps the Seqs still missing, as the summary counts them.
    std::array<std::uint64_t, kMarkKinds> markCounts{};
    bool voiceChecked = false;  // the voice was held against a file: corrupted and missing chunks
    std::vector<ReplyRecord> replies;  // at most kReplyCap
    std::uint64_t repliesOmitted = 0;
    double loadIntervalSeconds = 0.1;
    std::vector<LoadInterval> load;
    std::vector<StepRecord> steps;  // at most kStepCap
    std::uint64_t stepsOmitted = 0;
    // A section drawn by the command itself (the calls' time line), as HTML; empty: none.
    std::string commandSection;

    void AddMark(const Mark& mark);
    // Where the reply was kept, to be completed when it comes; none past the cap.
    std::optional<std::size_t> AddReply(ReplyRecord reply);
    void AddStep(StepRecord step);
    // The time the pictures span: from 0 to the run's length or the last thing seen.
    double Span() const;
};

// Arguments joined as a shell would take them back: quoted where they hold anything but plain
// characters.
std::string ShellQuoted(std::span<const char* const> arguments);

}  // namespace peer
