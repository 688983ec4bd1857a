#pragma once
// The peer's UDP socket, and the one place every datagram it sends or receives passes: each is
// handed, with its time, both addresses and its bytes, to the taps (the report, the figures, and
// whatever else watches the wire) before anything acts on it.

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "peer/DatagramLook.h"

namespace peer {

struct DatagramEvent {
    bool outgoing = false;
    double t = 0;      // monotonic seconds since the run began
    double stamp = 0;  // real-time seconds: the kernel's receive stamp, or the clock at the send
    sockaddr_in peer{};
    // This end: the address the datagram left from or arrived at (for a socket bound to 0.0.0.0,
    // the kernel's route choice or IP_PKTINFO), and the bound port.
    in_addr local{};
    std::uint16_t localPort = 0;
    // Received: the address an answer leaves from to come from where the sender sent
    // (IP_PKTINFO's ipi_spec_dst: the datagram's destination, or for a broadcast the interface's).
    in_addr answerFrom{};
    std::span<const std::uint8_t> bytes;  // the whole datagram
    // Received datagrams of up to 2048 bytes only: the window's receive buffer, holding the
    // datagram and zeros past its end. Null otherwise.
    const std::uint8_t* windowBuffer = nullptr;
    // The phone of `answer --phones` whose socket it passed; 0 for every other run.
    std::uint32_t phone = 0;
    DatagramLook look;
    // Read from a capture that kept only the start of the datagram: `bytes` is that start, and
    // this its size on the wire, at which `look` was taken. 0: `bytes` is the whole datagram.
    std::size_t cutFrom = 0;
};

class Wire;

class DatagramTap {
  public:
    virtual ~DatagramTap() = default;
    virtual void OnDatagram(const DatagramEvent& event) = 0;
    // `wire`'s socket was found empty: every datagram that reached it by `stamp` (real-time
    // seconds) has been handed over.
    virtual void OnDrained(const Wire& /*wire*/, double /*stamp*/) {}
    // When the tap wants the sockets looked at again (monotonic seconds; infinity: no need).
    virtual double WakeAt() const { return std::numeric_limits<double>::infinity(); }
};

struct Outgoing {
    sockaddr_in to{};
    std::span<const std::uint8_t> bytes;
    // The source address, for a socket bound to 0.0.0.0; 0.0.0.0: the kernel's route choice.
    in_addr from{};
};

class Wire {
  public:
    // Binds `address`:`port` (port 0: any free one). Throws UsageError when it cannot. With
    // `sharing`, receives into that wire's room rather than 2 MiB of its own: for sockets that one
    // thread empties one at a time.
    Wire(const in_addr& address, std::uint16_t port, int receiveBufferBytes,
         const Wire* sharing = nullptr);
    ~Wire();
    Wire(const Wire&) = delete;
    Wire& operator=(const Wire&) = delete;

    void AddTap(DatagramTap& tap) { taps_.push_back(&tap); }
    // Event times count from here (monotonic seconds).
    void SetOrigin(double origin) { origin_ = origin; }
    // The phone every datagram of this socket is told as (DatagramEvent::phone).
    void SetPhone(std::uint32_t phone) { phone_ = phone; }

    int Descriptor() const { return fd_; }
    const sockaddr_in& Bound() const { return bound_; }
    // What the kernel granted of the receive buffer asked for.
    int ReceiveBufferBytes() const;
    // Datagrams the kernel dropped for want of room in the receive buffer, as of the last one
    // received (a drop after it is not known).
    std::uint32_t ReceiveDrops() const { return receiveDrops_; }

    // Sends in as few calls as the kernel allows (sendmmsg); returns how many went out. A
    // datagram the kernel refuses is counted in SendErrors and skipped.
    std::size_t Send(std::span<const Outgoing> datagrams);
    bool Send(const sockaddr_in& to, std::span<const std::uint8_t> bytes, in_addr from = {});
    std::uint64_t SendErrors() const { return sendErrors_; }
    int LastSendError() const { return lastSendError_; }

    // Replies collected while a batch is handled go out together at Flush, in order.
    void Queue(const sockaddr_in& to, std::span<const std::uint8_t> bytes, in_addr from = {});
    void Flush();

    // The earliest of the taps' WakeAt.
    double WakeAt() const;

    // Takes what has arrived, without waiting, at most `limit` datagrams: each goes to the taps,
    // then to `handle`; a socket found empty is told to the taps (OnDrained). Returns how many
    // were taken.
    std::size_t Receive(const std::function<void(const DatagramEvent&)>& handle,
                        std::size_t limit = 256);
    // One received datagram to the taps, then to `handle`: what Receive does with each it takes.
    void Deliver(const DatagramEvent& event,
                 const std::function<void(const DatagramEvent&)>& handle);

  private:
    struct Slot;
    using Slots = std::vector<std::unique_ptr<Slot>>;
    void Tell(const DatagramEvent& event);
    void Drained(double stamp);
    // The address a datagram to `to` leaves from.
    in_addr SourceFor(const sockaddr_in& to);

    int fd_ = -1;
    sockaddr_in bound_{};
    in_addr lastLocal_{};
    double origin_ = 0;
    std::vector<DatagramTap*> taps_;
    std::shared_ptr<Slots> slots_;
    std::uint32_t phone_ = 0;
    std::vector<std::uint8_t> queued_;
    struct Shape {
        sockaddr_in to;
        in_addr from;
        std::size_t size;
    };
    std::vector<Shape> queuedShape_;
    std::unordered_map<std::uint32_t, in_addr> sources_;
    std::uint64_t sendErrors_ = 0;
    std::uint32_t receiveDrops_ = 0;
    int lastSendError_ = 0;
};

}  // namespace peer
