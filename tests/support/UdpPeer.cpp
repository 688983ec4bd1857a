#include "support/UdpPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "support/EventWaits.h"

namespace testsupport {
namespace {

sockaddr_in LoopbackAddress(const std::string& address, std::uint16_t port) {
    if (!IsLoopback(address)) {
        throw std::invalid_argument("tests send and bind only on loopback, not " + address);
    }
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &result.sin_addr);
    return result;
}

}  // namespace

bool IsLoopback(const std::string& address) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        return false;
    }
    return (ntohl(parsed.s_addr) >> 24) == 127;
}

UdpPeer::UdpPeer(const std::string& address, std::uint16_t port) : address_(address) {
    sockaddr_in local = LoopbackAddress(address, port);
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::string reason = std::strerror(errno);
        if (fd_ >= 0) {
            ::close(fd_);
        }
        throw std::runtime_error("cannot bind a peer on " + address + ": " + reason);
    }
    socklen_t length = sizeof local;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    port_ = ntohs(local.sin_port);
    int size = 4 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

UdpPeer::~UdpPeer() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void UdpPeer::SendTo(std::span<const std::uint8_t> bytes, const std::string& address,
                     std::uint16_t port) {
    sockaddr_in to = LoopbackAddress(address, port);
    if (::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) <
        0) {
        throw std::runtime_error(std::string("peer send failed: ") + std::strerror(errno));
    }
}

std::optional<Datagram> UdpPeer::TryReceive() {
    std::vector<std::uint8_t> buffer(65536);
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t count = ::recvfrom(fd_, buffer.data(), buffer.size(), 0,
                               reinterpret_cast<sockaddr*>(&from), &length);
    if (count < 0) {
        return std::nullopt;
    }
    buffer.resize(static_cast<std::size_t>(count));
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    return Datagram{std::move(buffer), text, ntohs(from.sin_port),
                    std::chrono::steady_clock::now()};
}

std::optional<Datagram> UdpPeer::Receive(std::chrono::milliseconds timeout) {
    std::optional<Datagram> received;
    WaitFor([&] { return (received = TryReceive()).has_value(); }, timeout);
    return received;
}

std::vector<Datagram> UdpPeer::Drain() {
    std::vector<Datagram> all;
    while (auto datagram = TryReceive()) {
        all.push_back(std::move(*datagram));
    }
    return all;
}

}  // namespace testsupport
