#include "peer/session/Wire.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "peer/Addresses.h"
#include "peer/Clock.h"
#include "peer/PeerError.h"

namespace peer {
namespace {

// Room for the largest UDP payload, so the true size of every datagram is known.
constexpr std::size_t kDatagramRoom = 65536;
constexpr std::size_t kBatch = 32;

struct PacketInfo {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
};

}  // namespace

struct Wire::Slot {
    std::uint8_t bytes[kDatagramRoom];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(in_pktinfo)) +
                                  CMSG_SPACE(sizeof(std::uint32_t))];
    sockaddr_in from;
    iovec vector;
};

Wire::Wire(const in_addr& address, std::uint16_t port, int receiveBufferBytes,
           const Wire* sharing) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        throw UsageError(SystemMessage("cannot make a UDP socket"));
    }
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    ::setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    ::setsockopt(fd_, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    if (receiveBufferBytes > 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
        // Past the system's limit where the process may (CAP_NET_ADMIN); otherwise what it got.
        if (ReceiveBufferBytes() < receiveBufferBytes) {
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBufferBytes,
                         sizeof receiveBufferBytes);
        }
    }
    bound_ = MakeEndpoint(address, port);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&bound_), sizeof bound_) != 0) {
        const std::string message = SystemMessage("cannot bind UDP " + EndpointText(bound_));
        ::close(fd_);
        throw UsageError(message);
    }
    socklen_t length = sizeof bound_;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound_), &length);
    lastLocal_ = bound_.sin_addr;
    if (sharing != nullptr) {
        slots_ = sharing->slots_;
        return;
    }
    slots_ = std::make_shared<Slots>();
    for (std::size_t i = 0; i < kBatch; ++i) {
        slots_->push_back(std::make_unique<Slot>());
    }
}

Wire::~Wire() {
    ::close(fd_);
}

in_addr Wire::SourceFor(const sockaddr_in& to) {
    if (bound_.sin_addr.s_addr != htonl(INADDR_ANY)) {
        return bound_.sin_addr;
    }
    const auto known = sources_.find(to.sin_addr.s_addr);
    if (known != sources_.end()) {
        return known->second;
    }
    // Unbound, the kernel picks the source by the route to `to`: a UDP socket connected there
    // asks the same routing without sending anything.
    in_addr source = lastLocal_;
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (::connect(probe, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
            ::getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
            source = local.sin_addr;
        }
        ::close(probe);
    }
    if (sources_.size() >= 4096) {
        sources_.clear();
    }
    sources_.emplace(to.sin_addr.s_addr, source);
    return source;
}

int Wire::ReceiveBufferBytes() const {
    int size = 0;
    socklen_t length = sizeof size;
    ::getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, &length);
    return size / 2;  // the kernel reports twice what it grants for data, counting its overhead
}

void Wire::Tell(const DatagramEvent& event) {
    for (DatagramTap* tap : taps_) {
        tap->OnDatagram(event);
    }
}

void Wire::Drained(double stamp) {
    for (DatagramTap* tap : taps_) {
        tap->OnDrained(*this, stamp);
    }
}

double Wire::WakeAt() const {
    double wake = std::numeric_limits<double>::infinity();
    for (const DatagramTap* tap : taps_) {
        wake = std::min(wake, tap->WakeAt());
    }
    return wake;
}

std::size_t Wire::Send(std::span<const Outgoing> datagrams) {
    std::size_t sent = 0;
    std::size_t refused = 0;
    std::vector<mmsghdr> messages;
    std::vector<iovec> vectors;
    std::vector<PacketInfo> sources;
    const bool unbound = bound_.sin_addr.s_addr == htonl(INADDR_ANY);
    while (sent < datagrams.size()) {
        const std::size_t count = std::min<std::size_t>(datagrams.size() - sent, 1024);
        messages.assign(count, mmsghdr{});
        vectors.resize(count);
        const auto batch = datagrams.subspan(sent, count);
        const bool sourced =
            unbound && std::any_of(batch.begin(), batch.end(), [](const auto& out) {
                return out.from.s_addr != htonl(INADDR_ANY);
            });
        // Sized before any control message points into it.
        sources.assign(sourced ? count : 0, PacketInfo{});
        for (std::size_t i = 0; i < count; ++i) {
            const Outgoing& out = datagrams[sent + i];
            vectors[i] = {const_cast<std::uint8_t*>(out.bytes.data()), out.bytes.size()};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&out.to);
            messages[i].msg_hdr.msg_namelen = sizeof out.to;
            if (unbound && out.from.s_addr != htonl(INADDR_ANY)) {
                // This datagram's own source address, as a server answers from the address it was
                // asked on, rather than the one the kernel's route would pick.
                PacketInfo& source = sources[i];
                messages[i].msg_hdr.msg_control = source.control;
                messages[i].msg_hdr.msg_controllen = sizeof source.control;
                cmsghdr* header = CMSG_FIRSTHDR(&messages[i].msg_hdr);
                header->cmsg_level = IPPROTO_IP;
                header->cmsg_type = IP_PKTINFO;
                header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
                in_pktinfo info{};
                info.ipi_spec_dst = out.from;
                std::memcpy(CMSG_DATA(header), &info, sizeof info);
            }
        }
        const ClockPair clocks = ReadBothClocks();
        const double t = clocks.monotonic - origin_;
        const double stamp = clocks.realtime;
        const int done = ::sendmmsg(fd_, messages.data(), static_cast<unsigned>(count), 0);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == ENOBUFS) {
                // The kernel's send queue is full: wait for room rather than lose the datagram.
                pollfd room{fd_, POLLOUT, 0};
                if (::poll(&room, 1, 100) > 0) {
                    continue;
                }
            }
            // This datagram cannot be sent (no route, too long...): count it and go on.
            lastSendError_ = errno;
            ++sendErrors_;
            ++refused;
            ++sent;
            continue;
        }
        for (int i = 0; i < done; ++i) {
            const Outgoing& out = datagrams[sent + static_cast<std::size_t>(i)];
            DatagramEvent event;
            event.outgoing = true;
            event.t = t;
            event.stamp = stamp;
            event.peer = out.to;
            event.local = !unbound                               ? bound_.sin_addr
                          : out.from.s_addr != htonl(INADDR_ANY) ? out.from
                                                                 : SourceFor(out.to);
            event.localPort = ntohs(bound_.sin_port);
            event.phone = phone_;
            event.bytes = out.bytes;
            event.look = LookAt(out.bytes);
            Tell(event);
        }
        sent += static_cast<std::size_t>(done);
    }
    return sent - refused;
}

bool Wire::Send(const sockaddr_in& to, std::span<const std::uint8_t> bytes, in_addr from) {
    const std::uint64_t errorsBefore = sendErrors_;
    const Outgoing one{to, bytes, from};
    Send(std::span<const Outgoing>(&one, 1));
    return sendErrors_ == errorsBefore;
}

void Wire::Queue(const sockaddr_in& to, std::span<const std::uint8_t> bytes, in_addr from) {
    queued_.insert(queued_.end(), bytes.begin(), bytes.end());
    queuedShape_.push_back({to, from, bytes.size()});
}

void Wire::Flush() {
    if (queuedShape_.empty()) {
        return;
    }
    std::vector<Outgoing> out;
    out.reserve(queuedShape_.size());
    std::size_t offset = 0;
    for (const Shape& shape : queuedShape_) {
        out.push_back({shape.to, std::span<const std::uint8_t>(queued_).subspan(offset, shape.size),
                       shape.from});
        offset += shape.size;
    }
    Send(out);
    queued_.clear();
    queuedShape_.clear();
}

void Wire::Deliver(const DatagramEvent& event,
                   const std::function<void(const DatagramEvent&)>& handle) {
    Tell(event);
    handle(event);
}

std::size_t Wire::Receive(const std::function<void(const DatagramEvent&)>& handle,
                          std::size_t limit) {
    std::size_t taken = 0;
    mmsghdr messages[kBatch];
    while (taken < limit) {
        const std::size_t count = std::min(kBatch, limit - taken);
        for (std::size_t i = 0; i < count; ++i) {
            Slot& slot = *(*slots_)[i];
            slot.vector = {slot.bytes, sizeof slot.bytes};
            messages[i] = mmsghdr{};
            msghdr& header = messages[i].msg_hdr;
            header.msg_name = &slot.from;
            header.msg_namelen = sizeof slot.from;
            header.msg_iov = &slot.vector;
            header.msg_iovlen = 1;
            header.msg_control = slot.control;
            header.msg_controllen = sizeof slot.control;
        }
        // Taken before looking: whatever reaches the socket after it was found empty came later.
        const double looked = RealtimeSeconds();
        // MSG_TRUNC: the length is the datagram's own, even if it were longer than the room.
        const int got = ::recvmmsg(fd_, messages, static_cast<unsigned>(count),
                                   MSG_DONTWAIT | MSG_TRUNC, nullptr);
        if (got <= 0) {
            Drained(looked);
            break;
        }
        const double now = MonotonicSeconds();
        const double stampNow = RealtimeSeconds();
        for (int i = 0; i < got; ++i) {
            Slot& slot = *(*slots_)[static_cast<std::size_t>(i)];
            const msghdr& header = messages[i].msg_hdr;
            const std::size_t size = std::min<std::size_t>(messages[i].msg_len, kDatagramRoom);
            DatagramEvent event;
            event.t = now - origin_;
            event.stamp = stampNow;
            event.peer = slot.from;
            event.local = lastLocal_;
            event.answerFrom = bound_.sin_addr;
            event.localPort = ntohs(bound_.sin_port);
            event.phone = phone_;
            for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr;
                 c = CMSG_NXTHDR(const_cast<msghdr*>(&header), c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec stamp{};
                    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                    event.stamp = FromTimespec(stamp);
                } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                    std::uint32_t dropped = 0;
                    std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
                    receiveDrops_ = dropped;
                } else if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                    in_pktinfo info{};
                    std::memcpy(&info, CMSG_DATA(c), sizeof info);
                    event.local = lastLocal_ = info.ipi_addr;
                    event.answerFrom = info.ipi_spec_dst;
                }
            }
            event.bytes = std::span<const std::uint8_t>(slot.bytes, size);
            if (size <= phone::kReceiveBufferSize) {
                // The window reads its buffer as zeros past what arrived.
                std::memset(slot.bytes + size, 0, phone::kReceiveBufferSize - size);
                event.windowBuffer = slot.bytes;
            }
            event.look = LookAt(event.bytes);
            Deliver(event, handle);
        }
        taken += static_cast<std::size_t>(got);
        if (static_cast<std::size_t>(got) < count) {
            Drained(looked);
            break;
        }
    }
    return taken;
}

}  // namespace peer
