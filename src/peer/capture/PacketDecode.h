#pragma once
// From a captured frame to the UDP datagram it carries, for the link types `report` reads:
// Ethernet (802.1Q and 802.1ad tags, stacked), Linux cooked (SLL, SLL2) and raw IPv4. Lengths
// come from the IPv4 and UDP headers, never from the frame, which Ethernet pads.

#include <cstdint>
#include <span>

namespace peer {

enum class LinkKind { Ethernet, LinuxCooked, LinuxCooked2, RawIp };

enum class PacketFate {
    Datagram,  // a UDP datagram, whole or cut short by the capture
    NotIpv4,
    NotUdp,
    Fragment,   // a piece of a fragmented IPv4 datagram: not reassembled
    Truncated,  // cut before the end of its UDP header, or lengths that don't add up
};

struct UdpDatagram {
    std::uint32_t source = 0, destination = 0;          // addresses in network order
    std::uint16_t sourcePort = 0, destinationPort = 0;  // host order
    std::span<const std::uint8_t> payload;              // what the capture holds of it
    std::size_t size = 0;                               // its size on the wire, from the UDP header
    bool Cut() const { return payload.size() < size; }
};

struct DecodedPacket {
    PacketFate fate = PacketFate::Truncated;
    // A datagram whose headers were whole but which the capture or its lengths cut short.
    bool truncated = false;
    UdpDatagram datagram;  // Datagram only
};

// `captured` is what the capture kept of a frame that was `wireLength` bytes long.
DecodedPacket DecodePacket(LinkKind link, std::span<const std::uint8_t> captured,
                           std::uint32_t wireLength);

}  // namespace peer
