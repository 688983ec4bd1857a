#include "bench/FloodingPeer.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "bench/BenchDatagrams.h"

namespace bench {

FloodKind FloodKindNamed(const std::string& name) {
    if (name == "ring") {
        return FloodKind::Ring;
    }
    if (name == "talk") {
        return FloodKind::Talk;
    }
    if (name == "longest") {
        return FloodKind::Longest;
    }
    throw std::invalid_argument("no flood of " + name + " (ring, talk, longest)");
}

void FillFloodRequest(std::uint8_t* datagram, std::uint64_t index, FloodKind kind) {
    switch (kind) {
        case FloodKind::Ring:
            FillRequest(datagram, index, phone::CmdRing);
            break;
        case FloodKind::Talk:
            FillRequest(datagram, index, phone::CmdTalk);
            break;
        case FloodKind::Longest:
            FillRequest(datagram, index, phone::CmdRing);
            phone::WriteWord({datagram, phone::kRequestSize}, phone::kOffsetTarget, 0xFFFF);
            phone::WriteWord({datagram, phone::kRequestSize}, phone::kOffsetCommand, 0xFFFF);
            break;
    }
}

std::uint64_t FloodIndexMask(FloodKind kind) {
    return kind == FloodKind::Longest ? 0xFFFF : 0x7FFFFFFF;
}

std::uint64_t FloodIndex(const std::uint8_t* datagram, FloodKind kind) {
    return RequestIndex(datagram) & FloodIndexMask(kind);
}

// More replies than Memo1 can hold Read lines of.
constexpr std::size_t kRecentReplies = std::size_t{1} << 18;

FloodingPeer::FloodingPeer(int receiveBuffer, FloodKind kind)
    : kind_(kind),
      fd_(LoopbackSocket("127.0.0.2", 0, receiveBuffer)),
      recentReplies_(kRecentReplies) {
    int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

FloodingPeer::~FloodingPeer() {
    if (thread_.joinable()) {
        stop_ = true;
        thread_.join();
    }
    ::close(fd_);
}

void FloodingPeer::Start(std::uint16_t windowPort, std::uint64_t count, double rate,
                         std::function<void()> afterSending) {
    thread_ = std::thread([=, this] {
        BecomePeerThread();
        sending_ = SendPaced(
            fd_, LoopbackAddress("127.0.0.1", windowPort), count, rate, phone::kRequestSize,
            [this](std::uint8_t* datagram, std::uint64_t i) {
                FillFloodRequest(datagram, i, kind_);
            },
            [this] { Drain(); }, &stop_);
        sendingEnded_ = Now();
        if (afterSending) {
            afterSending();
        }
        double lastHeard = Now();
        std::uint64_t seen = replies_;
        while ((replies_ < sending_.sent || (afterSending && ringAt_ < 0)) &&
               Now() - lastHeard < 1.0) {
            Drain();
            if (replies_ != seen) {
                seen = replies_;
                lastHeard = Now();
            } else {
                ::usleep(1000);
            }
        }
        finished_ = true;
    });
}

std::vector<std::uint64_t> FloodingPeer::ReplyIndices() const {
    const std::uint64_t count = std::min<std::uint64_t>(replies_, kRecentReplies);
    std::vector<std::uint64_t> indices;
    indices.reserve(count);
    for (std::uint64_t i = replies_ - count; i < replies_; ++i) {
        indices.push_back(recentReplies_[i % kRecentReplies]);
    }
    return indices;
}

void FloodingPeer::Drain() {
    std::uint8_t buffer[2048];
    char control[256];
    for (;;) {
        iovec vector{buffer, sizeof buffer};
        msghdr message{};
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd_, &message, MSG_DONTWAIT);
        if (n <= 0) {
            return;
        }
        if (n == static_cast<ssize_t>(phone::kVoiceSize)) {
            VoiceArrival arrival;
            for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
                 header = CMSG_NXTHDR(&message, header)) {
                if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec stamp{};
                    std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
                    arrival.at = static_cast<double>(stamp.tv_sec) +
                                 static_cast<double>(stamp.tv_nsec) * 1e-9;
                }
            }
            const std::uint8_t* chunk = buffer + phone::kOffsetPayload;
            arrival.chunk = ChunkIndex(chunk);
            const phone::PhoneDatagram header = phone::ReadHeader({buffer, phone::kVoiceSize});
            arrival.intact = ChunkIs(chunk, arrival.chunk) && header.Command == phone::CmdVoice &&
                             header.Length == static_cast<std::int16_t>(phone::kVoicePayloadSize);
            voice_.push_back(arrival);
            continue;
        }
        if (n != static_cast<ssize_t>(phone::kRequestSize)) {
            continue;
        }
        const phone::PhoneDatagram header = phone::ReadHeader({buffer, phone::kRequestSize});
        if (header.Status == 0) {
            // A request of the window's own: the Ring of a click (or the Talk that starts voice).
            if (header.Command == phone::CmdRing && ringAt_ < 0) {
                ringAt_ = Now();
            }
            continue;
        }
        const std::uint64_t index = FloodIndex(buffer, kind_);
        if (index != (replies_ & FloodIndexMask(kind_))) {
            ++outOfOrder_;
        }
        if (header.Status == phone::StatusAccepted) {
            ++accepted_;
        }
        if (replies_ > 0) {
            // With drops the indices skip, but never go back or repeat.
            const std::uint64_t previous = recentReplies_[(replies_ - 1) % kRecentReplies];
            const std::uint64_t step = (index - previous) & FloodIndexMask(kind_);
            notRising_ += step == 0 || step > FloodIndexMask(kind_) / 2 ? 1 : 0;
        }
        recentReplies_[replies_ % kRecentReplies] = index;
        ++replies_;
    }
}

}  // namespace bench
