#include "peer/report/ReportCollector.h"

#include <algorithm>
#include <cctype>

#include "peer/Addresses.h"
#include "peer/DatagramLook.h"

namespace peer {
namespace {

constexpr std::size_t kSeqKinds[] = {static_cast<std::size_t>(MarkKind::SeqGap),
                                     static_cast<std::size_t>(MarkKind::SeqDuplicate),
                                     static_cast<std::size_t>(MarkKind::SeqReorder)};

bool SameEnd(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

}  // namespace

ReportCollector::ReportCollector(double origin) : origin_(origin) {}

void ReportCollector::OnDatagram(const DatagramEvent& event) {
    const Kind kind = event.look.kind;
    if (kind != Kind::Ignored) {
        NoteEnds(event);
    }
    if (event.outgoing) {
        if (kind == Kind::Voice) {
            ++data_.sent.datagrams;
            // On the stamps, as the summary measures it.
            if (lastSent_ >= 0) {
                const double spacing = event.stamp - lastSent_;
                data_.sent.spacing.Add(event.t, spacing);
                data_.sent.histogram.Add(spacing);
            }
            lastSent_ = event.stamp;
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

void ReportCollector::StartCall(const DatagramEvent& ring) {
    // The Ring was taken as the last call's: whatever mark it made there goes.
    data_.marks.resize(std::min(data_.marks.size(), lastTake_.marks));
    for (std::size_t i = 0; i < 3; ++i) {
        data_.markCounts[kSeqKinds[i]] = lastTake_.counts[i];
    }
    if (lastTake_.refilledGap >= 0 &&
        static_cast<std::size_t>(lastTake_.refilledGap) < data_.marks.size()) {
        ++data_.marks[static_cast<std::size_t>(lastTake_.refilledGap)].count;
    }
    lastTake_ = {data_.marks.size(), lastTake_.counts, -1};
    seq_.Reset();
    seq_.Take(ring.look.header.Seq, false);
    lastSent_ = lastReceivedStamp_ = -1;
}

void ReportCollector::AddMark(MarkKind kind, double t, std::int32_t seq) {
    data_.AddMark({t, kind, seq, 1});
}

void ReportCollector::AddLoadIntervals(const LoadIntervals& intervals) {
    data_.loadIntervalSeconds = intervals.Width();
    for (const LoadIntervals::Interval& each : intervals.Closed()) {
        data_.load.push_back(
            {each.start, each.sent, each.replies, each.median, each.p99, each.max});
    }
}

void ReportCollector::NoteEnds(const DatagramEvent& event) {
    if (!local_) {
        local_ = MakeEndpoint(event.local, event.localPort);
    }
    if (!event.outgoing || (!peers_.empty() && SameEnd(peers_.back(), event.peer))) {
        return;
    }
    const bool known = std::any_of(peers_.begin(), peers_.end(), [&](const sockaddr_in& end) {
        return SameEnd(end, event.peer);
    });
    if (known) {
        return;
    }
    if (peers_.size() < kListedPeers) {
        peers_.push_back(event.peer);
    } else {
        morePeers_ = true;
    }
}

std::string ReportCollector::LocalText() const {
    return local_ ? EndpointText(*local_) : std::string();
}

std::string ReportCollector::PeersText() const {
    std::string text;
    for (const sockaddr_in& end : peers_) {
        text += (text.empty() ? "" : ", ") + EndpointText(end);
    }
    return morePeers_ ? text + " and others" : text;
}

void ReportCollector::TakeSeq(double t, std::uint16_t seq, bool voice) {
    lastTake_.marks = data_.marks.size();
    for (std::size_t i = 0; i < 3; ++i) {
        lastTake_.counts[i] = data_.markCounts[kSeqKinds[i]];
    }
    lastTake_.refilledGap = -1;

    const std::uint64_t gaps = seq_.Gaps();
    const std::uint64_t duplicates = seq_.Duplicates();
    const std::uint64_t reordered = seq_.Reordered();
    seq_.Take(seq, voice);
    auto& gapCount = data_.markCounts[static_cast<std::size_t>(MarkKind::SeqGap)];
    if (seq_.Reordered() > reordered) {
        // A late Seq fills a gap: that gap has one Seq less missing.
        const std::int32_t index = gapMarkOf_.empty() ? -1 : gapMarkOf_[seq];
        if (index >= 0 && data_.marks[static_cast<std::size_t>(index)].count > 0) {
            --data_.marks[static_cast<std::size_t>(index)].count;
            lastTake_.refilledGap = index;
            gapMarkOf_[seq] = -1;
        }
        gapCount -= gapCount > 0;
        data_.AddMark({t, MarkKind::SeqReorder, seq, 1});
    } else if (seq_.Duplicates() > duplicates) {
        data_.AddMark({t, MarkKind::SeqDuplicate, seq, 1});
    } else if (seq_.Gaps() > gaps) {
        // The Seqs skipped are the ones just before this one (voice numbering has no 0); the
        // figures count only those not already missing, which in a normal run is all of them.
        if (gapMarkOf_.empty()) {
            gapMarkOf_.assign(65536, -1);
        }
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

std::string RequestName(std::int16_t command) {
    std::string name = CommandName(command);
    if (!name.empty() && std::isalpha(static_cast<unsigned char>(name[0])) != 0) {
        name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    }
    return name;
}

}  // namespace peer
