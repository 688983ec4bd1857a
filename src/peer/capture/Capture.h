#pragma once
// --pcap: every datagram the peer sends or receives, written as pcapng with the addresses, ports
// and times it had on the wire, in time order. The file is made, and its header written, before
// anything is sent; it may be a pipe or standard output ("-"), read live.
//
// A received datagram carries the kernel's stamp of its arrival, earlier than the moment it is
// handled, and sends are stamped as they go: records are held back until every socket has been
// found empty after them, and a little longer, so that no record goes back in time. Into a pipe
// each record goes as soon as it is final; into a file, in large pieces at least once a second,
// so that capturing does not disturb the voice schedule and a killed run leaves a file that reads
// up to its last whole block. Only whole blocks are written: after a write that failed part way
// the file is cut back to the last whole one, and only the records written count.

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "peer/Files.h"
#include "peer/capture/Pcapng.h"
#include "peer/session/Wire.h"

namespace peer {

class Capture final : public DatagramTap {
  public:
    // Throws UsageError naming --pcap when the file cannot be made or written, and Interrupted
    // when a signal comes while a FIFO waits for its reader.
    Capture(const std::string& path, SignalWatch& signalWatch);
    ~Capture() override;
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Captures what passes `wire`; its records become final as it is found empty.
    void Watch(Wire& wire);

    void OnDatagram(const DatagramEvent& event) override;
    void OnDrained(const Wire& wire, double stamp) override;
    double WakeAt() const override;

    // Writes every record still held, in time order: the run's end. After a failed write nothing
    // more is written and Error() says why.
    void Flush();
    const std::optional<std::string>& Error() const { return error_; }
    // The records written whole.
    std::uint64_t Packets() const { return packets_; }
    const std::string& Path() const { return file_.Path(); }

  private:
    struct Held {
        double stamp = 0;
        pcapng::UdpEnds ends;
        std::vector<std::uint8_t> payload;
    };
    // Moves the held records stamped up to `boundary` into the blocks to write, in time order.
    void Release(double boundary);
    // The time up to which no record can come any more: every socket found empty since, less
    // what the kernel may take between stamping a datagram and queueing it.
    double FinalUpTo() const;
    void WriteWhenDue();
    void Write();

    OutputFile file_;
    std::vector<Held> held_;                               // by stamp
    std::vector<std::pair<const Wire*, double>> drained_;  // each socket: found empty as of
    std::vector<std::uint8_t> pending_;
    std::uint64_t pendingPackets_ = 0;
    std::uint64_t packets_ = 0;
    std::uint64_t bytesWritten_ = 0;
    double lastWrite_ = 0;  // monotonic
    std::uint16_t identification_ = 0;
    std::optional<std::string> error_;
};

}  // namespace peer
