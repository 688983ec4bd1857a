#pragma once
// A capture file read with libpcap: pcap or pcapng, from tcpdump, Wireshark or the peer's own
// --pcap, with time stamps to the nanosecond where the file has them.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "peer/capture/PacketDecode.h"

struct pcap;

namespace peer {

struct CapturedPacket {
    // Since the epoch, as the file gives them: a damaged file may hold a fraction past a second,
    // which adds up all the same.
    std::int64_t seconds = 0;
    std::int64_t nanoseconds = 0;
    std::span<const std::uint8_t> bytes;  // what the capture kept; valid until the next Next()
    std::uint32_t wireLength = 0;         // how long the frame was
};

class CaptureFile {
  public:
    // Throws UsageError (naming the file and why) when it cannot be opened or read as a capture
    // of a link type `report` reads.
    explicit CaptureFile(const std::string& path);
    ~CaptureFile();
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    LinkKind Link() const { return link_; }
    // libpcap's name of the link type, such as EN10MB or LINUX_SLL2.
    const std::string& LinkName() const { return linkName_; }

    enum class Read { Packet, End, Damaged };
    // The next packet; after Damaged, Damage() says what is wrong and nothing more is read.
    Read Next(CapturedPacket& packet);
    const std::string& Damage() const { return damage_; }

  private:
    ::pcap* handle_ = nullptr;
    LinkKind link_ = LinkKind::Ethernet;
    std::string linkName_;
    std::string damage_;
};

}  // namespace peer
