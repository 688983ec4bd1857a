#include "peer/calls/PhoneSocket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "peer/Addresses.h"
#include "peer/Clock.h"
#include "peer/PeerError.h"

namespace peer {

std::optional<PhoneSocket> PhoneSocket::Open(const in_addr& address, std::uint16_t port,
                                             int receiveBufferBytes, std::string& error) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = SystemMessage("cannot make a UDP socket");
        return std::nullopt;
    }
    PhoneSocket socket(fd);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    if (receiveBufferBytes > 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
    }
    socket.bound_ = MakeEndpoint(address, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&socket.bound_), sizeof socket.bound_) != 0) {
        error = SystemMessage("cannot bind UDP " + EndpointText(socket.bound_));
        return std::nullopt;
    }
    socklen_t length = sizeof socket.bound_;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&socket.bound_), &length);
    return socket;
}

PhoneSocket::PhoneSocket(PhoneSocket&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), bound_(other.bound_), drops_(other.drops_) {}

PhoneSocket& PhoneSocket::operator=(PhoneSocket&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
        bound_ = other.bound_;
        drops_ = other.drops_;
    }
    return *this;
}

PhoneSocket::~PhoneSocket() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool PhoneSocket::Send(const sockaddr_in& to, std::span<const std::uint8_t> bytes) const {
    ssize_t sent = 0;
    do {
        sent = ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                        sizeof to);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(bytes.size());
}

struct ReceiveArea::Slots {
    // One byte past the window's buffer, so that MSG_TRUNC tells a datagram too long for it.
    std::uint8_t bytes[kBatch][phone::kReceiveBufferSize + 1];
    alignas(cmsghdr) char control[kBatch]
                                 [CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(std::uint32_t))];
    sockaddr_in from[kBatch];
    iovec vectors[kBatch];
    mmsghdr messages[kBatch];
    Arrival arrivals[kBatch];
};

ReceiveArea::ReceiveArea() : slots_(new Slots) {}

ReceiveArea::~ReceiveArea() {
    delete slots_;
}

std::span<const Arrival> ReceiveArea::Take(PhoneSocket& socket) {
    Slots& s = *slots_;
    for (std::size_t i = 0; i < kBatch; ++i) {
        s.vectors[i] = {s.bytes[i], sizeof s.bytes[i]};
        s.messages[i] = mmsghdr{};
        msghdr& header = s.messages[i].msg_hdr;
        header.msg_name = &s.from[i];
        header.msg_namelen = sizeof s.from[i];
        header.msg_iov = &s.vectors[i];
        header.msg_iovlen = 1;
        header.msg_control = s.control[i];
        header.msg_controllen = sizeof s.control[i];
    }
    const int got =
        ::recvmmsg(socket.Descriptor(), s.messages, kBatch, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (got <= 0) {
        return {};
    }
    const double now = RealtimeSeconds();
    for (int n = 0; n < got; ++n) {
        const auto i = static_cast<std::size_t>(n);
        Arrival& arrival = s.arrivals[i];
        arrival.from = s.from[i];
        arrival.stamp = now;
        arrival.size = s.messages[i].msg_len;
        msghdr& header = s.messages[i].msg_hdr;
        for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp{};
                std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                arrival.stamp = FromTimespec(stamp);
            } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                std::uint32_t dropped = 0;
                std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
                socket.SetDrops(dropped);
            }
        }
        const std::size_t kept = std::min(arrival.size, phone::kReceiveBufferSize);
        std::memset(s.bytes[i] + kept, 0, phone::kReceiveBufferSize - kept);
        arrival.buffer = s.bytes[i];
    }
    return {s.arrivals, static_cast<std::size_t>(got)};
}

}  // namespace peer
