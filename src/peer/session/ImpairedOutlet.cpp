#include "peer/session/ImpairedOutlet.h"

#include <algorithm>
#include <limits>

#include "peer/Clock.h"
#include "phone/PhoneDatagram.h"

namespace peer {

ImpairedOutlet::ImpairedOutlet(Wire& wire, const ImpairmentSettings& settings)
    : wire_(wire), settings_(settings) {
    if (settings.Any()) {
        draws_ = std::make_unique<ImpairmentDraws>(settings);
    }
}

void ImpairedOutlet::Emit(std::span<const std::uint8_t> datagram, double deadline) {
    ++chunks_;
    if (watcher_) {
        watcher_(datagram);
    }
    if (!draws_) {
        wire_.Send(to_, datagram, from_);
        return;
    }
    const ChunkFate fate = draws_->Next();
    if (fate.drop) {
        ++dropped_;
        Mark(MarkKind::Dropped, deadline, datagram);
        return;
    }
    Chunk chunk{to_, from_, std::vector<std::uint8_t>(datagram.begin(), datagram.end()),
                fate.duplicate};
    std::vector<Chunk> group;
    if (held_) {
        // The held chunk follows this one: one place out of order.
        group = {std::move(chunk), std::move(*held_)};
        held_.reset();
        ++reordered_;
        Mark(MarkKind::Reordered, deadline, group[1].bytes);
    } else if (fate.reorder) {
        held_ = std::move(chunk);
        return;
    } else {
        group.push_back(std::move(chunk));
    }
    if (fate.delayMicroseconds > 0) {
        ++delayed_;
        Mark(MarkKind::Delayed, deadline, group[0].bytes);
    }
    // Late by its draw, never early, and never moving the next chunk's deadline.
    const double due = deadline + static_cast<double>(fate.delayMicroseconds) * 1e-6;
    const double now = MonotonicSeconds();
    for (const Chunk& each : group) {
        Put(each, due, now);
    }
}

void ImpairedOutlet::Put(const Chunk& chunk, double due, double now) {
    const int copies = chunk.duplicate ? 2 : 1;
    if (chunk.duplicate) {
        ++duplicated_;
        // When the copies go: a held chunk let go has no time of its own (due 0).
        Mark(MarkKind::Duplicated, std::max(due, now), chunk.bytes);
    }
    for (int i = 0; i < copies; ++i) {
        if (due <= now) {
            wire_.Send(chunk.to, chunk.bytes, chunk.from);
            continue;
        }
        const auto place =
            std::upper_bound(late_.begin(), late_.end(), due,
                             [](double time, const Late& late) { return time < late.due; });
        late_.insert(place, Late{due, chunk.to, chunk.from, chunk.bytes});
    }
}

void ImpairedOutlet::Stalled(double now) {
    if (collector_ != nullptr) {
        collector_->MarkAt(MarkKind::Stall, now);
    }
}

void ImpairedOutlet::Mark(MarkKind kind, double when, std::span<const std::uint8_t> chunk) {
    if (collector_ != nullptr) {
        collector_->MarkAt(kind, when, phone::ReadHeader(chunk).Seq);
    }
}

void ImpairedOutlet::Release() {
    if (held_) {
        Chunk chunk = std::move(*held_);
        held_.reset();
        Put(chunk, 0, MonotonicSeconds());
    }
}

double ImpairedOutlet::NextDue() const {
    return late_.empty() ? std::numeric_limits<double>::infinity() : late_.front().due;
}

void ImpairedOutlet::SendDue(double now) {
    while (!late_.empty() && late_.front().due <= now) {
        wire_.Send(late_.front().to, late_.front().bytes, late_.front().from);
        late_.pop_front();
    }
}

nlohmann::ordered_json ImpairedOutlet::Summary() const {
    nlohmann::ordered_json seed = nullptr;
    if (draws_) {
        seed = draws_->Seed();
    } else if (settings_.seed) {
        seed = *settings_.seed;
    }
    return {{"seed", seed},
            {"chunks", chunks_},
            {"dropped", dropped_},
            {"duplicated", duplicated_},
            {"reordered", reordered_},
            {"delayed", delayed_}};
}

}  // namespace peer
