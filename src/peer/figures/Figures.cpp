#include "peer/figures/Figures.h"

#include <algorithm>
#include <cmath>
#include <string_view>

namespace peer {
namespace {

std::uint16_t SeqAfter(std::uint16_t seq, bool voice) {
    // A voice datagram taken at 65535 sets the counter back to 1; a request lets it run on.
    return voice && seq == 65535 ? 1 : static_cast<std::uint16_t>(seq + 1);
}

// A gap older than this many numbers is final: its Seq may come round again.
constexpr std::uint16_t kGapMemory = 16384;

}  // namespace

double Ms(double seconds) {
    return std::round(seconds * 1e6) / 1e3;
}

void Samples::Add(double seconds) {
    if (seen_ == 0 || seconds < min_) {
        min_ = seconds;
    }
    if (seen_ == 0 || seconds > max_) {
        max_ = seconds;
    }
    ++seen_;
    if (kept_.size() < capacity_) {
        kept_.push_back(seconds);
        return;
    }
    // Reservoir sampling: each value seen so far stays with the same chance.
    random_ ^= random_ << 13;
    random_ ^= random_ >> 7;
    random_ ^= random_ << 17;
    const std::uint64_t slot = random_ % seen_;
    if (slot < capacity_) {
        kept_[slot] = seconds;
    }
}

void Samples::Clear() {
    kept_.clear();
    seen_ = 0;
    min_ = max_ = 0;
}

Spread SpreadOf(const Samples& samples) {
    std::vector<double> seconds = samples.Kept();
    if (seconds.empty()) {
        return {};
    }
    std::sort(seconds.begin(), seconds.end());
    const std::size_t n = seconds.size();
    const auto rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(n)));
    return {true, n % 2 == 1 ? seconds[n / 2] : (seconds[n / 2 - 1] + seconds[n / 2]) / 2,
            seconds[std::max<std::size_t>(rank, 1) - 1], samples.Max(), samples.Min()};
}

nlohmann::ordered_json SpreadMs(const Spread& spread, bool withMin) {
    const auto ms = [&](double seconds) {
        return spread.measured ? nlohmann::ordered_json(Ms(seconds))
                               : nlohmann::ordered_json(nullptr);
    };
    nlohmann::ordered_json json = {
        {"median", ms(spread.median)}, {"p99", ms(spread.p99)}, {"max", ms(spread.max)}};
    if (withMin) {
        json["min"] = ms(spread.min);
    }
    return json;
}

nlohmann::ordered_json SpreadMs(const Samples& samples, bool withMin) {
    return SpreadMs(SpreadOf(samples), withMin);
}

void SeqCheck::Take(std::uint16_t seq, bool voice) {
    if (!started_) {
        started_ = true;
        expected_ = SeqAfter(seq, voice);
        return;
    }
    const auto ahead = static_cast<std::int16_t>(static_cast<std::uint16_t>(seq - expected_));
    if (ahead == 0) {
        expected_ = SeqAfter(seq, voice);
    } else if (ahead > 0) {
        missing_.resize(65536);
        for (std::uint16_t skipped = expected_; skipped != seq; ++skipped) {
            // Voice past 65535 goes on from 1: a voice gap across the wrap has no 0 in it.
            if (skipped == 0 && voice) {
                continue;
            }
            if (!missing_[skipped]) {
                missing_[skipped] = true;
                missingOrder_.push_back(skipped);
                ++gaps_;
            }
        }
        expected_ = SeqAfter(seq, voice);
    } else if (!missing_.empty() && missing_[seq]) {
        missing_[seq] = false;
        --gaps_;
        ++reordered_;
    } else {
        ++duplicates_;
    }
    Forget();
}

void SeqCheck::Reset() {
    for (std::size_t i = missingFront_; i < missingOrder_.size(); ++i) {
        missing_[missingOrder_[i]] = false;
    }
    missingOrder_.clear();
    missingFront_ = 0;
    started_ = false;
    gaps_ = duplicates_ = reordered_ = 0;
}

void SeqCheck::Forget() {
    while (missingFront_ < missingOrder_.size()) {
        const std::uint16_t oldest = missingOrder_[missingFront_];
        if (missing_[oldest] && static_cast<std::uint16_t>(expected_ - oldest) < kGapMemory) {
            break;
        }
        missing_[oldest] = false;
        ++missingFront_;
    }
    if (missingFront_ > 4096 && missingFront_ * 2 > missingOrder_.size()) {
        missingOrder_.erase(missingOrder_.begin(),
                            missingOrder_.begin() + static_cast<std::ptrdiff_t>(missingFront_));
        missingFront_ = 0;
    }
}

struct Figures::Track {
    Track(std::uint32_t index, std::size_t samples)
        : phone(index), sentSpacing(samples), receivedSpacing(samples) {}
    SeqCounts SeqNow() const { return {seq.Gaps(), seq.Duplicates(), seq.Reordered()}; }

    std::uint32_t phone;
    SeqCheck seq;
    SeqCounts seqBeforeLastTake;
    Counts call;
    Samples sentSpacing, receivedSpacing;
    double lastVoiceSent = -1, lastVoiceReceived = -1;
    bool inCall = false;
    std::string caller;
    double start = 0;
};

Figures::Figures() = default;
Figures::~Figures() = default;

void Figures::SetPhones(std::vector<std::string> names) {
    phoneNames_ = std::move(names);
    // A thousand phones' calls of an hour each stay within tens of megabytes.
    trackSamples_ = 4096;
}

Figures::Track& Figures::TrackOf(std::uint32_t phone) {
    if (phone >= tracks_.size()) {
        tracks_.resize(phone + 1);
    }
    if (!tracks_[phone]) {
        tracks_[phone] = std::make_unique<Track>(phone, trackSamples_);
    }
    return *tracks_[phone];
}

std::uint64_t Figures::SeqEvents() const {
    std::uint64_t events =
        seqOfEndedCalls_.gaps + seqOfEndedCalls_.duplicates + seqOfEndedCalls_.reordered;
    for (const auto& track : tracks_) {
        if (track) {
            const SeqCounts now = track->SeqNow();
            events += now.gaps + now.duplicates + now.reordered;
        }
    }
    return events;
}

void Figures::OnDatagram(const DatagramEvent& event) {
    const Kind kind = event.look.kind;
    Track& track = TrackOf(event.phone);
    if (event.outgoing) {
        ++datagramsSent_;
        ++track.call.datagramsSent;
        requestsSent_ += kind == Kind::Request;
        repliesSent_ += kind == Kind::Reply;
        track.call.repliesSent += kind == Kind::Reply;
        if (kind == Kind::Voice) {
            ++voiceSent_;
            ++track.call.voiceSent;
            // On the stamp a capture keeps, as received voice is: a capture of the run gives the
            // same spacings, whatever the host does to its real-time clock. The schedule's own
            // timing on the monotonic clock is the drift.
            if (track.lastVoiceSent >= 0) {
                sentSpacing_.Add(event.stamp - track.lastVoiceSent);
                track.sentSpacing.Add(event.stamp - track.lastVoiceSent);
            }
            track.lastVoiceSent = event.stamp;
        }
        return;
    }
    ++datagramsReceived_;
    ++track.call.datagramsReceived;
    switch (kind) {
        case Kind::Request:
            ++requestsReceived_;
            ++track.call.requestsReceived;
            track.seqBeforeLastTake = track.SeqNow();
            track.seq.Take(event.look.header.Seq, false);
            break;
        case Kind::Reply:
            ++repliesReceived_;
            break;
        case Kind::Voice:
            ++voiceReceived_;
            ++track.call.voiceReceived;
            track.seqBeforeLastTake = track.SeqNow();
            track.seq.Take(event.look.header.Seq, true);
            // Kernel stamps: the spacing as it arrived, not as this process got round to it.
            if (track.lastVoiceReceived >= 0) {
                receivedSpacing_.Add(event.stamp - track.lastVoiceReceived);
                track.receivedSpacing.Add(event.stamp - track.lastVoiceReceived);
            }
            track.lastVoiceReceived = event.stamp;
            break;
        case Kind::Ignored: {
            // Found by the reason's text without making a string of it for every datagram.
            const std::string_view reason = event.look.reason;
            auto found = ignored_.find(reason);
            if (found == ignored_.end()) {
                found = ignored_.emplace(std::string(reason), 0).first;
            }
            ++found->second;
            break;
        }
    }
}

Figures::EndedCall Figures::CallOf(const Track& track, const SeqCounts& seq) const {
    return {track.phone < phoneNames_.size() ? phoneNames_[track.phone] : std::string(),
            track.caller,
            track.start,
            track.call,
            seq,
            SpreadOf(track.sentSpacing),
            SpreadOf(track.receivedSpacing)};
}

void Figures::KeepEnded(EndedCall call) {
    // Calls of several phones end in any order: the earliest started are the ones kept.
    const auto later =
        std::upper_bound(endedCalls_.begin(), endedCalls_.end(), call.start,
                         [](double start, const EndedCall& kept) { return start < kept.start; });
    if (later == endedCalls_.end() && endedCalls_.size() >= kListedCalls) {
        return;
    }
    endedCalls_.insert(later, std::move(call));
    if (endedCalls_.size() > kListedCalls) {
        endedCalls_.pop_back();
    }
}

void Figures::StartCall(const DatagramEvent& ring, const std::string& caller) {
    Track& track = TrackOf(ring.phone);
    // The Ring was counted and its Seq taken as the last call's; it is the new call's first.
    --track.call.datagramsReceived;
    --track.call.requestsReceived;
    const SeqCounts ended = track.seqBeforeLastTake;
    seqOfEndedCalls_.gaps += ended.gaps;
    seqOfEndedCalls_.duplicates += ended.duplicates;
    seqOfEndedCalls_.reordered += ended.reordered;
    if (track.inCall) {
        KeepEnded(CallOf(track, ended));
    }
    ++calls_;
    track.inCall = true;
    track.caller = caller;
    track.start = ring.t;
    track.call = Counts{};
    track.call.datagramsReceived = 1;
    track.call.requestsReceived = 1;
    track.seq.Reset();
    track.seq.Take(ring.look.header.Seq, false);
    track.seqBeforeLastTake = {};
    track.sentSpacing.Clear();
    track.receivedSpacing.Clear();
    track.lastVoiceSent = track.lastVoiceReceived = -1;
}

nlohmann::ordered_json Figures::EndedCall::Summary() const {
    nlohmann::ordered_json json =
        phone.empty() ? nlohmann::ordered_json::object() : nlohmann::ordered_json{{"phone", phone}};
    json.update(nlohmann::ordered_json{
        {"caller", caller},
        {"t", std::round(start * 1e6) / 1e6},
        {"datagrams_sent", counts.datagramsSent},
        {"datagrams_received", counts.datagramsReceived},
        {"voice_sent", counts.voiceSent},
        {"voice_received", counts.voiceReceived},
        {"requests_received", counts.requestsReceived},
        {"replies_sent", counts.repliesSent},
        {"pacing_sent_ms", SpreadMs(sentSpacing)},
        {"pacing_received_ms", SpreadMs(receivedSpacing)},
        {"seq_gaps", seq.gaps},
        {"seq_duplicates", seq.duplicates},
        {"seq_reordered", seq.reordered},
    });
    return json;
}

nlohmann::ordered_json Figures::Calls() const {
    std::vector<EndedCall> listed = endedCalls_;
    for (const auto& track : tracks_) {
        if (track && track->inCall) {
            listed.push_back(CallOf(*track, track->SeqNow()));
        }
    }
    std::stable_sort(listed.begin(), listed.end(),
                     [](const EndedCall& a, const EndedCall& b) { return a.start < b.start; });
    nlohmann::ordered_json calls = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < listed.size() && i < kListedCalls; ++i) {
        calls.push_back(listed[i].Summary());
    }
    return calls;
}

nlohmann::ordered_json Figures::Summary() const {
    SeqCounts seq = seqOfEndedCalls_;
    for (const auto& track : tracks_) {
        if (track) {
            const SeqCounts now = track->SeqNow();
            seq.gaps += now.gaps;
            seq.duplicates += now.duplicates;
            seq.reordered += now.reordered;
        }
    }
    nlohmann::ordered_json summary = {
        {"datagrams_sent", datagramsSent_},
        {"datagrams_received", datagramsReceived_},
        {"voice_sent", voiceSent_},
        {"voice_received", voiceReceived_},
        {"requests_sent", requestsSent_},
        {"requests_answered", requestsAnswered_},
        {"requests_received", requestsReceived_},
        {"replies_sent", repliesSent_},
        {"replies_received", repliesReceived_},
        {"ignored_received", ignored_},
        {"send_errors", sendErrors_},
        {"pacing_sent_ms", SpreadMs(sentSpacing_)},
        {"pacing_received_ms", SpreadMs(receivedSpacing_)},
        {"drift_ms",
         voiceTimed_ ? nlohmann::ordered_json(Ms(drift_)) : nlohmann::ordered_json(nullptr)},
        {"stalls", stalls_},
        {"seq_gaps", seq.gaps},
        {"seq_duplicates", seq.duplicates},
        {"seq_reordered", seq.reordered},
        {"reply_latency_ms", SpreadMs(latencies_, false)},
    };
    return summary;
}

}  // namespace peer
