#pragma once
// Fills a report's data as a run goes: the voice and the Seq from every datagram on the wire,
// and, through its hooks, what only the session knows (stalls, impairments, the voice check,
// replies, the load's intervals, the scenario's steps). A capture fills it the same way.

#include <cstdint>
#include <vector>

#include "peer/figures/Figures.h"
#include "peer/report/ReportData.h"
#include "peer/session/Wire.h"

namespace peer {

class ReportCollector final : public DatagramTap {
  public:
    ReportCollector();

    // Sent voice: spacing from event.t. Received voice: spacing from event.stamp (the kernel's
    // stamps, as the figures take it), placed at event.t. Received requests and voice: the Seq,
    // by the figures' own SeqCheck, so the marks count what the summary counts.
    void OnDatagram(const DatagramEvent& event) override;

    // A mark at `t` (seconds on the wire's clock, as DatagramEvent::t): a stall, an impairment of
    // the sent voice, a corrupted or missing chunk. Seq marks come from the datagrams themselves.
    void AddMark(MarkKind kind, double t, std::int32_t seq = -1);
    void AddReply(ReplyRecord reply) { data_.AddReply(std::move(reply)); }
    void AddLoadInterval(const LoadInterval& interval) { data_.load.push_back(interval); }
    void AddStep(StepRecord step) { data_.AddStep(std::move(step)); }

    ReportData& Data() { return data_; }
    const ReportData& Data() const { return data_; }

  private:
    void TakeSeq(double t, std::uint16_t seq, bool voice);

    ReportData data_;
    SeqCheck seq_;
    // For each Seq the figures hold missing, the gap mark it belongs to (-1: none kept).
    std::vector<std::int32_t> gapMarkOf_;
    double lastSent_ = -1;
    double lastReceivedStamp_ = -1;
};

}  // namespace peer
