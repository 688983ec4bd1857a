#pragma once
// The pcapng blocks a capture is made of, and the IPv4 and UDP headers put in front of each
// datagram so that Wireshark and tshark see ordinary UDP traffic. Standard library only.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace peer::pcapng {

// Raw IP: every packet starts with its IPv4 header.
inline constexpr std::uint16_t kLinkTypeRaw = 101;
// The largest UDP payload an IPv4 datagram can hold (65,535 less 20 and 8 header bytes).
inline constexpr std::size_t kLargestPayload = 65507;

// Both ends of a datagram as they stood on the wire; addresses and ports in network order.
struct UdpEnds {
    std::uint32_t source = 0, destination = 0;
    std::uint16_t sourcePort = 0, destinationPort = 0;
};

// Section Header Block and the one Interface Description Block (raw IPv4, microsecond stamps).
void AppendHeader(std::vector<std::uint8_t>& out, std::string_view application);

// One Enhanced Packet Block: an IPv4 header with its checksum, a UDP header with its checksum,
// then `payload` (cut to kLargestPayload, which nothing longer can reach), stamped with
// `microseconds` since the epoch. `identification` numbers the IPv4 datagrams of the capture.
void AppendPacket(std::vector<std::uint8_t>& out, std::uint64_t microseconds, const UdpEnds& ends,
                  std::uint16_t identification, std::span<const std::uint8_t> payload);

// The Internet checksum (ones' complement of the ones' complement sum of 16-bit words), over
// `bytes` and an initial partial `sum`.
std::uint16_t InternetChecksum(std::span<const std::uint8_t> bytes, std::uint32_t sum = 0);

}  // namespace peer::pcapng
