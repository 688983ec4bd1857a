#include "peer/report/ReportCollector.h"

namespace peer {

ReportCollector::ReportCollector() : gapMarkOf_(65536, -1) {}

void ReportCollector::OnDatagram(const DatagramEvent& event) {
    const Kind kind = event.look.kind;
    if (event.outgoing) {
        if (kind == Kind::Voice) {
            ++data_.sent.datagrams;
            if (lastSent_ >= 0) {
                const double spacing = event.t - lastSent_;
                data_.sent.spacing.Add(event.t, spacing);
                data_.sent.histogram.Add(spacing);
            }
            lastSent_ = event.t;
        }
        return;
    }
    if (kind == Kind::Request) {
        TakeSeq(event.t, event.look.header.Seq, false);
    } else if (kind == Kind::Voice) {
        ++data_.received.datagrams;
        data_.receivedSeq.Add(event.t, event.look.header.Seq);
        TakeSeq(event.t, event.look.header.Seq, true);
        if (lastReceivedStamp_ >= 0) {
            const double spacing = event.stamp - lastReceivedStamp_;
            data_.received.spacing.Add(event.t, spacing);
            data_.received.histogram.Add(spacing);
        }
        lastReceivedStamp_ = event.stamp;
    }
}

void ReportCollector::AddMark(MarkKind kind, double t, std::int32_t seq) {
    data_.AddMark({t, kind, seq, 1});
}

void ReportCollector::TakeSeq(double t, std::uint16_t seq, bool voice) {
    const std::uint64_t gaps = seq_.Gaps();
    const std::uint64_t duplicates = seq_.Duplicates();
    const std::uint64_t reordered = seq_.Reordered();
    seq_.Take(seq, voice);
    auto& gapCount = data_.markCounts[static_cast<std::size_t>(MarkKind::SeqGap)];
    if (seq_.Reordered() > reordered) {
        // A late Seq fills a gap: that gap has one Seq less missing.
        const std::int32_t index = gapMarkOf_[seq];
        if (index >= 0 && data_.marks[static_cast<std::size_t>(index)].count > 0) {
            --data_.marks[static_cast<std::size_t>(index)].count;
        }
        gapMarkOf_[seq] = -1;
        gapCount -= gapCount > 0;
        data_.AddMark({t, MarkKind::SeqReorder, seq, 1});
    } else if (seq_.Duplicates() > duplicates) {
        data_.AddMark({t, MarkKind::SeqDuplicate, seq, 1});
    } else if (seq_.Gaps() > gaps) {
        // The Seqs skipped are the ones just before this one (voice numbering has no 0); the
        // figures count only those not already missing, which in a normal run is all of them.
        const auto missing = static_cast<std::uint32_t>(seq_.Gaps() - gaps);
        const std::int32_t index = data_.marks.size() < ReportData::kMarkCap
                                       ? static_cast<std::int32_t>(data_.marks.size())
                                       : -1;
        std::uint16_t skipped = seq;
        for (std::uint32_t found = 0; found < missing;) {
            --skipped;
            if (voice && skipped == 0) {
                continue;
            }
            gapMarkOf_[skipped] = index;
            ++found;
        }
        data_.AddMark({t, MarkKind::SeqGap, skipped, missing});
    }
}

}  // namespace peer
