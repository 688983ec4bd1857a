#pragma once
// --pcap: every datagram the peer sends or receives, written as pcapng with the addresses, ports
// and times it had on the wire. The file is made, and its header written, before anything is
// sent; packets are gathered in memory and written in large pieces, so capturing does not
// disturb the voice schedule.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "peer/session/Wire.h"

namespace peer {

class Capture final : public DatagramTap {
  public:
    // Throws UsageError naming --pcap when the file cannot be made or written.
    explicit Capture(std::string path);
    ~Capture() override;
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    void OnDatagram(const DatagramEvent& event) override;

    // Writes what is gathered. After a failed write nothing more is written and Error() says why.
    void Flush();
    const std::optional<std::string>& Error() const { return error_; }
    std::uint64_t Packets() const { return packets_; }
    const std::string& Path() const { return path_; }

  private:
    bool Write();

    std::string path_;
    int fd_ = -1;
    std::vector<std::uint8_t> pending_;
    std::uint64_t packets_ = 0;
    std::uint16_t identification_ = 0;
    std::optional<std::string> error_;
};

}  // namespace peer
