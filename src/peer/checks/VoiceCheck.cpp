#include "peer/checks/VoiceCheck.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace peer {
namespace {

std::uint64_t HashChunk(const std::uint8_t* bytes) {
    std::uint64_t hash = 0x243F6A8885A308D3u;
    for (std::size_t i = 0; i < VoiceCheck::kChunk; i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes + i, sizeof word);
        hash = (hash ^ word) * 0x9E3779B97F4A7C15u;
        hash ^= hash >> 32;
    }
    return hash;
}

// Voice Seq runs 1..65535 and then from 1 again. A 0 comes only after a request took 65535; it
// stands where 1 would.
std::int64_t Ordinal(std::uint16_t seq) {
    return seq == 0 ? 0 : seq - 1;
}

// Chunks from `from` to `to` by the voice numbering, the nearer way round.
std::int64_t SeqSteps(std::uint16_t from, std::uint16_t to) {
    std::int64_t steps = ((Ordinal(to) - Ordinal(from)) % 65535 + 65535) % 65535;
    return steps > 32767 ? steps - 65535 : steps;
}

std::uint16_t SeqAfter(std::uint16_t from, std::int64_t steps) {
    return static_cast<std::uint16_t>(((Ordinal(from) + steps) % 65535 + 65535) % 65535 + 1);
}

// The bytes as a full chunk: a short one padded with zeros, as a sender pads the file's end.
std::array<std::uint8_t, VoiceCheck::kChunk> Padded(std::span<const std::uint8_t> bytes) {
    std::array<std::uint8_t, VoiceCheck::kChunk> padded{};
    std::copy_n(bytes.begin(), std::min(bytes.size(), padded.size()), padded.begin());
    return padded;
}

double Rounded(double seconds) {
    return std::round(seconds * 1e6) / 1e6;
}

}  // namespace

VoiceCheck::Expected::Expected(std::vector<std::uint8_t> bytes) : file(std::move(bytes)) {
    chunks = (file.size() + kChunk - 1) / kChunk;
    contentOf.resize(chunks);
    for (std::uint64_t chunk = 0; chunk < chunks; ++chunk) {
        const auto chunkBytes = std::span(file).subspan(chunk * kChunk, ChunkLength(chunk));
        std::uint32_t content = ContentOf(chunkBytes);
        if (content == kNone) {
            content = static_cast<std::uint32_t>(firstWithContent.size());
            firstWithContent.push_back(static_cast<std::uint32_t>(chunk));
            nextSameHash.push_back(kNone);
            const auto [slot, fresh] =
                contentByHash.try_emplace(HashChunk(Padded(chunkBytes).data()), content);
            if (!fresh) {
                // Different bytes, same hash: chained behind the first.
                std::uint32_t last = slot->second;
                while (nextSameHash[last] != kNone) {
                    last = nextSameHash[last];
                }
                nextSameHash[last] = content;
            }
        }
        contentOf[chunk] = content;
    }
}

std::size_t VoiceCheck::Expected::ChunkLength(std::uint64_t chunk) const {
    return std::min(kChunk, file.size() - chunk * kChunk);
}

std::uint32_t VoiceCheck::Expected::ContentOf(std::span<const std::uint8_t> stored) const {
    if (stored.empty() || stored.size() > kChunk) {
        return kNone;
    }
    const auto padded = Padded(stored);
    const auto found = contentByHash.find(HashChunk(padded.data()));
    for (std::uint32_t content = found == contentByHash.end() ? kNone : found->second;
         content != kNone; content = nextSameHash[content]) {
        const std::uint32_t chunk = firstWithContent[content];
        const std::size_t length = ChunkLength(chunk);
        if (std::memcmp(padded.data(), file.data() + chunk * kChunk, length) == 0 &&
            std::all_of(padded.begin() + static_cast<std::ptrdiff_t>(length), padded.end(),
                        [](std::uint8_t byte) { return byte == 0; })) {
            return content;
        }
    }
    return kNone;
}

VoiceCheck::VoiceCheck(std::vector<std::uint8_t> expected)
    : VoiceCheck(std::make_shared<const Expected>(std::move(expected))) {}

VoiceCheck::VoiceCheck(std::shared_ptr<const Expected> expected)
    : expected_(std::move(expected)), chunks_(expected_->chunks) {
    counts_.expected = chunks_;
    takenIn_.resize(chunks_);
    seqOf_.resize(chunks_);
}

std::size_t VoiceCheck::ChunkLength(std::uint64_t chunk) const {
    return expected_->ChunkLength(chunk);
}

std::uint32_t VoiceCheck::ContentOf(std::span<const std::uint8_t> stored) const {
    return expected_->ContentOf(stored);
}

bool VoiceCheck::Fits(std::int64_t chunk, std::uint32_t content, std::size_t length) const {
    if (chunk < 0 || static_cast<std::uint64_t>(chunk) >= chunks_) {
        return false;
    }
    const auto index = static_cast<std::size_t>(chunk);
    return expected_->contentOf[index] == content &&
           (length == kChunk || length == ChunkLength(index));
}

std::int64_t VoiceCheck::Predicted(std::uint16_t seq) const {
    return anchored_ ? anchorChunk_ + SeqSteps(anchorSeq_, seq) : frontier_;
}

std::optional<std::int64_t> VoiceCheck::Place(std::int64_t predicted, std::uint32_t content,
                                              std::size_t length) const {
    const std::int64_t low = std::max<std::int64_t>(0, frontier_ - kReach);
    const std::int64_t high =
        std::min<std::int64_t>(static_cast<std::int64_t>(chunks_) - 1, frontier_ + kReach);
    if (predicted >= low && Fits(predicted, content, length)) {
        return predicted;
    }
    if (Fits(frontier_, content, length)) {
        return frontier_;
    }
    if (low > high) {
        return std::nullopt;
    }
    const std::int64_t centre = std::clamp(predicted, low, high);
    auto fits = [&](std::int64_t chunk) {
        return chunk >= low && chunk <= high && Fits(chunk, content, length);
    };
    auto fresh = [&](std::int64_t chunk) {
        return fits(chunk) && takenIn_[static_cast<std::size_t>(chunk)] != pass_;
    };
    for (std::int64_t distance = 0; centre - distance >= low || centre + distance <= high;
         ++distance) {
        const std::int64_t before = centre - distance, after = centre + distance;
        for (const std::int64_t chunk : {before, after}) {
            if (fresh(chunk)) {
                return chunk;
            }
        }
        for (const std::int64_t chunk : {before, after}) {
            if (fits(chunk)) {
                return chunk;
            }
        }
    }
    // Only the file's end is that short: it is where it is, however far.
    const auto last = static_cast<std::int64_t>(chunks_) - 1;
    if (length < kChunk && Fits(last, content, length)) {
        return last;
    }
    return std::nullopt;
}

std::optional<std::int64_t> VoiceCheck::NearStart(std::uint32_t content, std::size_t length) const {
    for (std::int64_t chunk = 0; chunk <= kReach; ++chunk) {
        if (Fits(chunk, content, length)) {
            return chunk;
        }
    }
    return std::nullopt;
}

void VoiceCheck::Take(std::uint16_t seq, double t, std::span<const std::uint8_t> stored) {
    if (finished_) {
        return;
    }
    ++counts_.received;
    const std::uint32_t content = ContentOf(stored);
    if (content == kNone) {
        Corrupt(seq, t, stored);
        return;
    }
    const std::size_t length = stored.size();
    if (!anchored_) {
        if (const auto start = NearStart(content, length)) {
            StartPass(*start, seq, t, true);
            return;
        }
        // Joined mid-file: the first place these bytes stand, or the short end for a short chunk.
        const std::int64_t anywhere = length < kChunk ? static_cast<std::int64_t>(chunks_) - 1
                                                      : expected_->firstWithContent[content];
        if (Fits(anywhere, content, length)) {
            StartPass(anywhere, seq, t, false);
        } else {
            Corrupt(seq, t, stored);
        }
        return;
    }
    const auto chunk = Place(Predicted(seq), content, length);
    if (chunk && takenIn_[static_cast<std::size_t>(*chunk)] != pass_) {
        Accept(*chunk, seq, t);
        return;
    }
    // Found nowhere near, or only already received under another Seq once the stream had reached
    // the file's end: the stream may have started over.
    const bool mayRestart = !chunk || (frontier_ >= static_cast<std::int64_t>(chunks_) &&
                                       seqOf_[static_cast<std::size_t>(*chunk)] != seq);
    const auto start = mayRestart ? NearStart(content, length) : std::nullopt;
    if (start) {
        SettleHoles(true);
        ++counts_.restarts;
        ++pass_;
        StartPass(*start, seq, t, true);
    } else if (chunk) {
        ++counts_.repeated;
    } else {
        Corrupt(seq, t, stored);
    }
}

void VoiceCheck::StartPass(std::int64_t chunk, std::uint16_t seq, double t, bool fromStart) {
    passStart_ = fromStart ? 0 : chunk;
    frontier_ = passStart_;
    anchored_ = false;
    Accept(chunk, seq, t);
}

void VoiceCheck::Accept(std::int64_t chunk, std::uint16_t seq, double t) {
    ++counts_.matched;
    if (chunk < frontier_) {
        ++counts_.outOfOrder;
    } else {
        Advance(chunk, seq, t);
    }
    takenIn_[static_cast<std::size_t>(chunk)] = pass_;
    seqOf_[static_cast<std::size_t>(chunk)] = seq;
}

void VoiceCheck::Advance(std::int64_t chunk, std::uint16_t seq, double t) {
    for (std::int64_t hole = frontier_; hole < chunk; ++hole) {
        // Between the last one and this one, by the numbering and evenly in time.
        if (anchored_) {
            const std::int64_t steps = hole - anchorChunk_;
            holes_.push_back({hole, SeqAfter(anchorSeq_, steps),
                              anchorT_ + (t - anchorT_) * static_cast<double>(steps) /
                                             static_cast<double>(chunk - anchorChunk_)});
        } else {
            const std::int64_t back = chunk - hole;
            holes_.push_back({hole, SeqAfter(seq, -back), t - static_cast<double>(back) * kPeriod});
        }
    }
    frontier_ = chunk + 1;
    anchored_ = true;
    anchorChunk_ = chunk;
    anchorSeq_ = seq;
    anchorT_ = t;
    SettleHoles(false);
}

void VoiceCheck::Corrupt(std::uint16_t seq, double t, std::span<const std::uint8_t> stored) {
    ++counts_.corrupted;
    const std::int64_t standsFor = Predicted(seq);
    if (anchored_ && standsFor >= frontier_ - kReach && standsFor <= frontier_ + kReach &&
        standsFor >= 0 && static_cast<std::uint64_t>(standsFor) < chunks_ &&
        takenIn_[static_cast<std::size_t>(standsFor)] != pass_) {
        if (standsFor >= frontier_) {
            Advance(standsFor, seq, t);
        }
        takenIn_[static_cast<std::size_t>(standsFor)] = pass_;
        seqOf_[static_cast<std::size_t>(standsFor)] = seq;
    }
    const std::uint64_t chunk = chunks_ == 0
                                    ? 0
                                    : static_cast<std::uint64_t>(std::clamp<std::int64_t>(
                                          standsFor, 0, static_cast<std::int64_t>(chunks_) - 1));
    Record({t, seq, chunk, EventKind::Corrupted});
    if (firstCorrupted_) {
        return;
    }
    // The first byte that differs from the chunk it stood for; a length that differs counts
    // from where the shorter one ends.
    const std::size_t length = chunks_ == 0 ? 0 : ChunkLength(chunk);
    const std::uint8_t* expected = expected_->file.data() + chunk * kChunk;
    std::size_t same = 0;
    while (same < length && same < stored.size() && stored[same] == expected[same]) {
        ++same;
    }
    firstCorrupted_ = Corruption{seq, t, chunk, chunk * kChunk + same};
}

void VoiceCheck::SettleHoles(bool all) {
    while (holesFront_ < holes_.size()) {
        const Hole& hole = holes_[holesFront_];
        if (!all && hole.chunk >= frontier_ - kReach) {
            break;
        }
        if (takenIn_[static_cast<std::size_t>(hole.chunk)] != pass_) {
            ++counts_.missing;
            Record({hole.t, hole.seq, static_cast<std::uint64_t>(hole.chunk), EventKind::Missing});
        }
        ++holesFront_;
    }
    if (holesFront_ == holes_.size() || (holesFront_ > 4096 && holesFront_ * 2 > holes_.size())) {
        holes_.erase(holes_.begin(), holes_.begin() + static_cast<std::ptrdiff_t>(holesFront_));
        holesFront_ = 0;
    }
}

void VoiceCheck::Record(const Event& event) {
    if (events_.size() < kEventLimit) {
        events_.push_back(event);
    } else {
        ++eventsLeftOut_;
    }
}

void VoiceCheck::Finish(std::optional<double> voiceEnd) {
    if (finished_) {
        return;
    }
    finished_ = true;
    SettleHoles(true);
    if (voiceEnd && anchored_) {
        for (std::int64_t chunk = frontier_; static_cast<std::uint64_t>(chunk) < chunks_; ++chunk) {
            const std::int64_t steps = chunk - anchorChunk_;
            const double due = anchorT_ + static_cast<double>(steps) * kPeriod;
            if (due + kTailGrace > *voiceEnd) {
                break;
            }
            ++counts_.missing;
            Record({due, SeqAfter(anchorSeq_, steps), static_cast<std::uint64_t>(chunk),
                    EventKind::Missing});
        }
    }
    std::stable_sort(events_.begin(), events_.end(),
                     [](const Event& a, const Event& b) { return a.t < b.t; });
}

nlohmann::ordered_json VoiceCheck::Json() const {
    nlohmann::ordered_json first = nullptr;
    if (firstCorrupted_) {
        first = {{"seq", firstCorrupted_->seq},
                 {"t", Rounded(firstCorrupted_->t)},
                 {"chunk", firstCorrupted_->chunk},
                 {"offset", firstCorrupted_->chunk * kChunk},
                 {"differs_at", firstCorrupted_->differsAt}};
    }
    return {{"chunks_expected", counts_.expected},
            {"chunks_received", counts_.received},
            {"matched", counts_.matched},
            {"missing", counts_.missing},
            {"repeated", counts_.repeated},
            {"out_of_order", counts_.outOfOrder},
            {"corrupted", counts_.corrupted},
            {"restarts", counts_.restarts},
            {"first_corrupted", first}};
}

std::vector<std::string> VoiceCheck::Reasons(double allowMissingPercent) const {
    std::vector<std::string> reasons;
    char text[200];
    if (counts_.expected > 0 && counts_.received == 0) {
        std::snprintf(text, sizeof text, "voice check: no voice arrived, %llu chunks expected",
                      static_cast<unsigned long long>(counts_.expected));
        reasons.push_back(text);
    }
    if (firstCorrupted_) {
        std::snprintf(text, sizeof text,
                      "voice check: %llu corrupted chunks, the first with Seq %u at %.6f s, "
                      "chunk %llu of the file (offset %llu, differs at byte %llu)",
                      static_cast<unsigned long long>(counts_.corrupted),
                      static_cast<unsigned>(firstCorrupted_->seq), firstCorrupted_->t,
                      static_cast<unsigned long long>(firstCorrupted_->chunk),
                      static_cast<unsigned long long>(firstCorrupted_->chunk * kChunk),
                      static_cast<unsigned long long>(firstCorrupted_->differsAt));
        reasons.push_back(text);
    }
    const std::uint64_t due = counts_.matched + counts_.corrupted + counts_.missing;
    const double percent =
        due == 0 ? 0 : 100.0 * static_cast<double>(counts_.missing) / static_cast<double>(due);
    if (counts_.missing > 0 && percent > allowMissingPercent) {
        std::snprintf(text, sizeof text,
                      "voice check: %llu of %llu chunks missing (%.3f %%), more than the %.3f %% "
                      "allowed",
                      static_cast<unsigned long long>(counts_.missing),
                      static_cast<unsigned long long>(due), percent, allowMissingPercent);
        reasons.push_back(text);
    }
    return reasons;
}

}  // namespace peer
