#include "peer/capture/Capture.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "peer/Clock.h"
#include "peer/PeerError.h"

namespace peer {
namespace {

// Written when this much is gathered: a few hundred microseconds of copying into the page cache,
// about 2,400 voice datagrams.
constexpr std::size_t kWriteAt = 1 << 20;
// And at least this often (seconds), so a killed run loses no more.
constexpr double kWriteEvery = 1.0;
// Between the kernel's stamp of an arriving datagram and its place in the socket's queue: a
// record is final only this long (seconds) after the socket was last found empty.
constexpr double kQueueing = 0.005;
// Wakes a little after a record is due to be final, so the look at the sockets finds it so.
constexpr double kWakeMargin = 0.0005;

constexpr double kNever = std::numeric_limits<double>::infinity();

std::uint32_t Little32At(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
           static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

}  // namespace

Capture::Capture(const std::string& path, SignalWatch& signals) : file_(path, "--pcap", signals) {
    pending_.reserve(kWriteAt + 70'000);
    pcapng::AppendHeader(pending_, "udpphone-peer");
    // The header at once: a file that cannot take it is refused before anything is sent.
    if (!file_.Write(pending_)) {
        throw UsageError(file_.Error().value_or("--pcap: cannot write \"" + path + "\""));
    }
    bytesWritten_ = pending_.size();
    pending_.clear();
    lastWrite_ = MonotonicSeconds();
}

Capture::~Capture() {
    Flush();
}

void Capture::Watch(Wire& wire) {
    drained_.emplace_back(&wire, -kNever);
    wire.AddTap(*this);
}

void Capture::OnDatagram(const DatagramEvent& event) {
    if (error_) {
        return;
    }
    Held record;
    record.stamp = event.stamp;
    const std::uint16_t localPort = htons(event.localPort);
    if (event.outgoing) {
        record.ends = {event.local.s_addr, event.peer.sin_addr.s_addr, localPort,
                       event.peer.sin_port};
    } else {
        record.ends = {event.peer.sin_addr.s_addr, event.local.s_addr, event.peer.sin_port,
                       localPort};
    }
    record.payload.assign(event.bytes.begin(),
                          event.bytes.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                    event.bytes.size(), pcapng::kLargestPayload)));
    // Nearly always the latest: found from the end.
    const auto later =
        std::upper_bound(held_.begin(), held_.end(), record.stamp,
                         [](double stamp, const Held& held) { return stamp < held.stamp; });
    held_.insert(later, std::move(record));
    Release(FinalUpTo());
    WriteWhenDue();
}

void Capture::OnDrained(const Wire& wire, double stamp) {
    for (auto& [watched, drained] : drained_) {
        if (watched == &wire) {
            drained = std::max(drained, stamp);
        }
    }
    if (error_) {
        return;
    }
    Release(FinalUpTo());
    WriteWhenDue();
}

double Capture::WakeAt() const {
    if (error_) {
        return kNever;
    }
    double wake = kNever;
    if (!held_.empty()) {
        wake = MonotonicSeconds() + (held_.front().stamp + kQueueing - RealtimeSeconds()) +
               kWakeMargin;
    }
    if (!pending_.empty() && !file_.IsPipe()) {
        wake = std::min(wake, lastWrite_ + kWriteEvery);
    }
    return wake;
}

double Capture::FinalUpTo() const {
    double upTo = kNever;
    for (const auto& [wire, drained] : drained_) {
        upTo = std::min(upTo, drained);
    }
    return upTo - kQueueing;
}

void Capture::Release(double boundary) {
    std::size_t count = 0;
    for (; count < held_.size() && held_[count].stamp <= boundary; ++count) {
        const Held& record = held_[count];
        const auto microseconds = static_cast<std::uint64_t>(std::llround(record.stamp * 1e6));
        pcapng::AppendPacket(pending_, microseconds, record.ends, identification_++,
                             record.payload);
        ++pendingPackets_;
    }
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(count));
}

void Capture::WriteWhenDue() {
    if (!pending_.empty() && (file_.IsPipe() || pending_.size() >= kWriteAt ||
                              MonotonicSeconds() - lastWrite_ >= kWriteEvery)) {
        Write();
    }
}

void Capture::Flush() {
    if (!error_) {
        Release(kNever);
        Write();
    }
}

void Capture::Write() {
    if (pending_.empty() || error_) {
        return;
    }
    std::size_t written = 0;
    lastWrite_ = MonotonicSeconds();
    if (file_.Write(pending_, &written)) {
        packets_ += pendingPackets_;
        bytesWritten_ += pending_.size();
    } else {
        // The blocks that went whole count; a file is cut back to the last of them, so that a
        // reader sees no block cut short.
        std::size_t whole = 0;
        while (whole + 8 <= pending_.size()) {
            const std::size_t length = Little32At(pending_, whole + 4);
            if (length == 0 || whole + length > written) {
                break;
            }
            whole += length;
            ++packets_;
        }
        error_ = file_.Error().value_or("--pcap: cannot write \"" + Path() + "\"");
        if (written > whole && !file_.IsPipe() && !file_.CutTo(bytesWritten_ + whole)) {
            *error_ += "; and it cannot be cut back to its last whole block";
        }
        bytesWritten_ += whole;
    }
    pending_.clear();
    pendingPackets_ = 0;
}

}  // namespace peer
