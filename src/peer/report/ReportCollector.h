#pragma once
// Fills a report's data as a run goes: the voice and the Seq from every datagram on the wire,
// and, through its hooks, what only the session knows (stalls, impairments, the voice check,
// replies, the load's intervals, the scenario's steps). A capture fills it the same way.

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "peer/figures/Figures.h"
#include "peer/figures/LoadIntervals.h"
#include "peer/report/ReportData.h"
#include "peer/session/Wire.h"

namespace peer {

class ReportCollector final : public DatagramTap {
  public:
    // `origin`: the monotonic seconds the wire's event times count from (Wire::SetOrigin), for
    // the hooks that know only the monotonic clock.
    explicit ReportCollector(double origin = 0);

    // Sent voice: spacing from event.t. Received voice: spacing from event.stamp (the kernel's
    // stamps, as the figures take it), placed at event.t. Received requests and voice: the Seq,
    // by the figures' own SeqCheck, so the marks count what the summary counts.
    void OnDatagram(const DatagramEvent& event) override;

    // The request just seen, a Ring accepted while idle, starts a new call, as Figures::StartCall
    // has it: the Seq and the voice spacing start over, and the Ring is the new call's first.
    void StartCall(const DatagramEvent& ring);

    // A mark at `t` (seconds on the wire's clock, as DatagramEvent::t): a stall, an impairment of
    // the sent voice, a corrupted or missing chunk. Seq marks come from the datagrams themselves.
    void AddMark(MarkKind kind, double t, std::int32_t seq = -1);
    // The same at a time on the monotonic clock.
    void MarkAt(MarkKind kind, double monotonic, std::int32_t seq = -1) {
        AddMark(kind, RunTime(monotonic), seq);
    }
    // A monotonic time as the wire's event times give it.
    double RunTime(double monotonic) const { return monotonic - origin_; }

    // The request's place among the replies kept, to be completed when its reply comes.
    std::optional<std::size_t> AddReply(ReplyRecord reply) {
        return data_.AddReply(std::move(reply));
    }
    void AddLoadInterval(const LoadInterval& interval) { data_.load.push_back(interval); }
    // Every interval `intervals` closed, and their width.
    void AddLoadIntervals(const LoadIntervals& intervals);
    void AddStep(StepRecord step) { data_.AddStep(std::move(step)); }

    // This end as the datagrams show it (the address they left from or came to), and the ends it
    // sent to: empty when there was none.
    std::string LocalText() const;
    std::string PeersText() const;

    ReportData& Data() { return data_; }
    const ReportData& Data() const { return data_; }

  private:
    void TakeSeq(double t, std::uint16_t seq, bool voice);
    void NoteEnds(const DatagramEvent& event);

    double origin_;
    ReportData data_;
    SeqCheck seq_;
    // For each Seq the figures hold missing, the gap mark it belongs to (-1: none kept); made at
    // the first gap, so a capture of many conversations without one stays small.
    std::vector<std::int32_t> gapMarkOf_;
    double lastSent_ = -1;
    double lastReceivedStamp_ = -1;

    // What the last Seq taken did to the marks, so that a Ring that starts a call can be taken
    // back from the call before it.
    struct LastTake {
        std::size_t marks = 0;
        std::array<std::uint64_t, 3> counts{};  // gap, duplicate, reorder
        std::int32_t refilledGap = -1;          // the gap mark a reorder took one Seq from
    };
    LastTake lastTake_;

    static constexpr std::size_t kListedPeers = 4;
    std::optional<sockaddr_in> local_;
    std::vector<sockaddr_in> peers_;
    bool morePeers_ = false;
};

// "Ring", "Talk", "Hangup", "Disconnect", or the command's number: a request as the replies
// picture names it.
std::string RequestName(std::int16_t command);

}  // namespace peer
