#include "peer/capture/PacketDecode.h"

#include <algorithm>

namespace peer {
namespace {

constexpr std::uint16_t kIpv4 = 0x0800;
constexpr std::size_t kUdpHeader = 8;
constexpr std::uint8_t kUdp = 17;

std::uint16_t Big16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}

bool IsVlanTag(std::uint16_t type) {
    // 802.1Q, 802.1ad, and the tag older switches used for the outer one before 802.1ad.
    return type == 0x8100 || type == 0x88A8 || type == 0x9100;
}

struct LinkHeader {
    bool whole = false;
    std::uint16_t type = 0;  // the EtherType of what follows
    std::size_t length = 0;
};

LinkHeader ReadLinkHeader(LinkKind link, std::span<const std::uint8_t> bytes) {
    LinkHeader header;
    std::size_t typeAt = 0;
    switch (link) {
        case LinkKind::RawIp:
            header.whole = !bytes.empty();
            header.type = header.whole && bytes[0] >> 4 == 4 ? kIpv4 : 0;
            return header;
        case LinkKind::Ethernet:
            typeAt = 12;
            break;
        case LinkKind::LinuxCooked:
            typeAt = 14;
            break;
        case LinkKind::LinuxCooked2:
            typeAt = 0;
            break;
    }
    header.length = link == LinkKind::LinuxCooked2 ? 20 : typeAt + 2;
    if (bytes.size() < header.length) {
        return header;
    }
    header.type = Big16(bytes.data() + typeAt);
    // Each tag: 2 bytes of priority and VLAN, then the EtherType of what it carries.
    while (IsVlanTag(header.type)) {
        if (bytes.size() < header.length + 4) {
            return header;
        }
        header.type = Big16(bytes.data() + header.length + 2);
        header.length += 4;
    }
    header.whole = true;
    return header;
}

}  // namespace

DecodedPacket DecodePacket(LinkKind link, std::span<const std::uint8_t> captured,
                           std::uint32_t wireLength) {
    DecodedPacket packet;
    if (captured.size() > wireLength) {
        return packet;  // more kept than there was: lengths that don't add up
    }
    const LinkHeader header = ReadLinkHeader(link, captured);
    if (!header.whole) {
        return packet;
    }
    if (header.type != kIpv4) {
        packet.fate = PacketFate::NotIpv4;
        return packet;
    }
    const auto ip = captured.subspan(header.length);
    const std::size_t onWire = wireLength - header.length;
    if (ip.size() < 20) {
        return packet;
    }
    if (ip[0] >> 4 != 4) {
        packet.fate = PacketFate::NotIpv4;
        return packet;
    }
    const std::size_t headerLength = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
    const std::size_t totalLength = Big16(&ip[2]);
    // The frame may be longer than the IPv4 datagram (Ethernet pads), never shorter.
    if (headerLength < 20 || totalLength < headerLength || totalLength > onWire ||
        ip.size() < headerLength) {
        return packet;
    }
    if (ip[9] != kUdp) {
        packet.fate = PacketFate::NotUdp;
        return packet;
    }
    const bool moreFragments = (ip[6] & 0x20) != 0;
    const std::size_t fragmentOffset = Big16(&ip[6]) & 0x1FFF;
    if (moreFragments || fragmentOffset != 0) {
        packet.fate = PacketFate::Fragment;
        return packet;
    }
    const auto udp = ip.subspan(headerLength);
    if (udp.size() < kUdpHeader) {
        return packet;
    }
    const std::size_t udpLength = Big16(&udp[4]);
    // Bytes past the UDP length are not the datagram's; a UDP length past the IPv4 datagram's
    // end is a datagram no receiver takes.
    if (udpLength < kUdpHeader || udpLength > totalLength - headerLength) {
        return packet;
    }
    UdpDatagram& datagram = packet.datagram;
    std::copy_n(&ip[12], 4, reinterpret_cast<std::uint8_t*>(&datagram.source));
    std::copy_n(&ip[16], 4, reinterpret_cast<std::uint8_t*>(&datagram.destination));
    datagram.sourcePort = Big16(&udp[0]);
    datagram.destinationPort = Big16(&udp[2]);
    datagram.size = udpLength - kUdpHeader;
    datagram.payload = udp.subspan(kUdpHeader, std::min(datagram.size, udp.size() - kUdpHeader));
    packet.fate = PacketFate::Datagram;
    packet.truncated = datagram.Cut();
    return packet;
}

}  // namespace peer
