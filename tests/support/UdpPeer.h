#pragma once
// A plain UDP socket standing for the other endpoint, bound to a loopback address.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace testsupport {

struct Datagram {
    std::vector<std::uint8_t> bytes;
    std::string fromAddress;
    std::uint16_t fromPort = 0;
    std::chrono::steady_clock::time_point arrived;
};

class UdpPeer {
  public:
    // Binds `address`:`port`; port 0 takes a free one. Only loopback addresses are accepted.
    explicit UdpPeer(const std::string& address = "127.0.0.2", std::uint16_t port = 0);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    const std::string& Address() const { return address_; }
    std::uint16_t Port() const { return port_; }
    int Descriptor() const { return fd_; }

    // Sends to a loopback address only.
    void SendTo(std::span<const std::uint8_t> bytes, const std::string& address,
                std::uint16_t port);

    // The next datagram, dispatching Qt events while waiting; nothing after `timeout`.
    std::optional<Datagram> Receive(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Everything queued now, without waiting.
    std::vector<Datagram> Drain();

  private:
    std::optional<Datagram> TryReceive();

    std::string address_;
    std::uint16_t port_ = 0;
    int fd_ = -1;
};

// Whether `address` is a dotted IPv4 address in 127.0.0.0/8.
bool IsLoopback(const std::string& address);

}  // namespace testsupport
