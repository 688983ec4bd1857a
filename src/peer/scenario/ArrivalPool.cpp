#include "peer/scenario/ArrivalPool.h"

namespace peer {
namespace {

// The voice Seq `n` datagrams after `seq`: after 65535 comes 1.
std::uint16_t VoiceSeqAfter(std::uint16_t seq, std::uint64_t n) {
    if (n == 0) {
        return seq;
    }
    const std::uint64_t from = seq == 0 ? 1 : seq;
    const std::uint64_t steps = seq == 0 ? n - 1 : n;
    return static_cast<std::uint16_t>((from - 1 + steps) % 65535 + 1);
}

bool SameButSeq(const DatagramLook& a, const DatagramLook& b) {
    return a.kind == b.kind && a.reason == b.reason && a.hasHeader == b.hasHeader &&
           a.header.Target == b.header.Target && a.header.Command == b.header.Command &&
           a.header.Status == b.header.Status && a.header.Length == b.header.Length;
}

}  // namespace

Arrival ArrivalPool::Entry::Nth(std::uint64_t n) const {
    Arrival arrival = first;
    arrival.order += n;
    if (stepping) {
        arrival.look.header.Seq = VoiceSeqAfter(first.look.header.Seq, n);
    }
    return arrival;
}

bool ArrivalPool::Follows(const Entry& entry, const Arrival& arrival, bool& stepping) {
    const Arrival last = entry.Nth(entry.count - 1);
    if (arrival.order != last.order + 1 || arrival.size != last.size ||
        arrival.from.sin_addr.s_addr != last.from.sin_addr.s_addr ||
        arrival.from.sin_port != last.from.sin_port || !SameButSeq(arrival.look, last.look)) {
        return false;
    }
    const std::uint16_t seq = arrival.look.header.Seq;
    const bool same = seq == last.look.header.Seq;
    const bool next =
        arrival.look.kind == Kind::Voice && seq == VoiceSeqAfter(last.look.header.Seq, 1);
    stepping = entry.count == 1 ? next && !same : entry.stepping;
    return stepping ? next : same;
}

void ArrivalPool::Add(const Arrival& arrival) {
    ++count_;
    bool stepping = false;
    if (!kept_.empty() && Follows(kept_.back(), arrival, stepping)) {
        kept_.back().stepping = stepping;
        ++kept_.back().count;
        return;
    }
    kept_.push_back(Entry{arrival, 1, false});
    if (kept_.size() > entries_) {
        const Entry& oldest = kept_.front();
        for (std::uint64_t n = 0; n < oldest.count; ++n) {
            pushedOut_.Add(oldest.first.order + n, [&] {
                const Arrival each = oldest.Nth(n);
                return Describe(each.look, each.size, each.from);
            });
        }
        count_ -= oldest.count;
        kept_.pop_front();
    }
}

std::uint64_t ArrivalPool::Take(const std::function<bool(const Arrival&)>& matches, bool all) {
    std::uint64_t taken = 0;
    for (auto it = kept_.begin(); it != kept_.end();) {
        if (!matches(it->first)) {
            ++it;
            continue;
        }
        if (all || it->count == 1) {
            taken += it->count;
            count_ -= it->count;
            it = kept_.erase(it);
            if (!all) {
                break;
            }
            continue;
        }
        it->first = it->Nth(1);
        --it->count;
        --count_;
        ++taken;
        break;
    }
    return taken;
}

std::optional<Arrival> ArrivalPool::Latest(
    const std::function<bool(const Arrival&)>& matches) const {
    for (auto it = kept_.rbegin(); it != kept_.rend(); ++it) {
        if (matches(it->first)) {
            return it->Nth(it->count - 1);
        }
    }
    return std::nullopt;
}

std::vector<std::pair<std::uint64_t, std::string>> ArrivalPool::First(std::size_t count) const {
    std::vector<std::pair<std::uint64_t, std::string>> first;
    for (const Entry& entry : kept_) {
        for (std::uint64_t n = 0; n < entry.count && first.size() < count; ++n) {
            const Arrival each = entry.Nth(n);
            first.emplace_back(each.order, Describe(each.look, each.size, each.from));
        }
        if (first.size() == count) {
            break;
        }
    }
    return first;
}

}  // namespace peer
