#pragma once
// One call's UDP socket, lean enough for thousands at once: no receive slots of its own (they are
// the ReceiveArea's, shared by every socket), a modest receive buffer, and the kernel's receive
// stamps and drop count as Wire takes them.

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "phone/PhoneDatagram.h"

namespace peer {

class PhoneSocket {
  public:
    // Binds `address`:`port` (0: any free one); none when the system refuses, with `error` set.
    static std::optional<PhoneSocket> Open(const in_addr& address, std::uint16_t port,
                                           int receiveBufferBytes, std::string& error);
    PhoneSocket(PhoneSocket&& other) noexcept;
    PhoneSocket& operator=(PhoneSocket&& other) noexcept;
    ~PhoneSocket();

    int Descriptor() const { return fd_; }
    const sockaddr_in& Bound() const { return bound_; }
    // False when the kernel refused it; the datagram is then not on the wire.
    bool Send(const sockaddr_in& to, std::span<const std::uint8_t> bytes) const;
    // Datagrams the kernel dropped for want of room, as of the last one received.
    std::uint32_t Drops() const { return drops_; }
    void SetDrops(std::uint32_t drops) { drops_ = drops; }

  private:
    explicit PhoneSocket(int fd) : fd_(fd) {}
    int fd_ = -1;
    sockaddr_in bound_{};
    std::uint32_t drops_ = 0;
};

struct Arrival {
    sockaddr_in from{};
    double stamp = 0;      // the kernel's receive stamp, real-time seconds
    std::size_t size = 0;  // the datagram's own size, also past the room
    // The window's receive buffer: the datagram and zeros past its end, kReceiveBufferSize long.
    const std::uint8_t* buffer = nullptr;
    std::span<const std::uint8_t, phone::kReceiveBufferSize> WindowBuffer() const {
        return std::span<const std::uint8_t, phone::kReceiveBufferSize>(buffer,
                                                                        phone::kReceiveBufferSize);
    }
    // The datagram as it arrived; empty for one too long for the window, which it ignores.
    std::span<const std::uint8_t> Bytes() const {
        return size <= phone::kReceiveBufferSize ? std::span<const std::uint8_t>(buffer, size)
                                                 : std::span<const std::uint8_t>();
    }
};

// The one place every call's datagrams are read into, a batch at a time.
class ReceiveArea {
  public:
    static constexpr std::size_t kBatch = 16;
    ReceiveArea();
    ~ReceiveArea();
    ReceiveArea(const ReceiveArea&) = delete;
    ReceiveArea& operator=(const ReceiveArea&) = delete;

    // Takes up to a batch from `socket` without waiting; `arrivals` hold them until the next call.
    std::span<const Arrival> Take(PhoneSocket& socket);

  private:
    struct Slots;
    Slots* slots_;
};

}  // namespace peer
