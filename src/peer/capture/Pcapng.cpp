#include "peer/capture/Pcapng.h"

#include <algorithm>

namespace peer::pcapng {
namespace {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceDescription = 1;
constexpr std::uint32_t kEnhancedPacket = 6;
constexpr std::uint16_t kOptionEnd = 0;
constexpr std::uint16_t kShbUserApplication = 4;
constexpr std::uint16_t kIfName = 2;
constexpr std::uint16_t kIfTimestampResolution = 9;
constexpr std::size_t kIpHeader = 20;
constexpr std::size_t kUdpHeader = 8;

// pcapng fields are in the writer's byte order, declared by the section's byte-order magic; this
// writer always writes little-endian, whatever the machine.
void Little16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}
void Little32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    Little16(out, static_cast<std::uint16_t>(value));
    Little16(out, static_cast<std::uint16_t>(value >> 16));
}
void Big16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value);
}

void PadTo4(std::vector<std::uint8_t>& out) {
    while (out.size() % 4 != 0) {
        out.push_back(0);
    }
}

void Option(std::vector<std::uint8_t>& out, std::uint16_t code,
            std::span<const std::uint8_t> value) {
    Little16(out, code);
    Little16(out, static_cast<std::uint16_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
    PadTo4(out);
}

std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Opens a block at the end of `out`; Close writes both copies of its total length.
std::size_t Open(std::vector<std::uint8_t>& out, std::uint32_t type) {
    const std::size_t start = out.size();
    Little32(out, type);
    Little32(out, 0);
    return start;
}
void Close(std::vector<std::uint8_t>& out, std::size_t start) {
    const auto total = static_cast<std::uint32_t>(out.size() - start + 4);
    Little32(out, total);
    for (int i = 0; i < 4; ++i) {
        out[start + 4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(total >> (8 * i));
    }
}

std::uint32_t Sum(std::span<const std::uint8_t> bytes, std::uint32_t sum) {
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    if (i < bytes.size()) {
        sum += static_cast<std::uint32_t>(bytes[i] << 8);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum;
}

}  // namespace

std::uint16_t InternetChecksum(std::span<const std::uint8_t> bytes, std::uint32_t sum) {
    sum = Sum(bytes, sum);
    while ((sum >> 16) != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum);
}

void AppendHeader(std::vector<std::uint8_t>& out, std::string_view application) {
    std::size_t start = Open(out, kSectionHeader);
    Little32(out, 0x1A2B3C4D);  // byte-order magic
    Little16(out, 1);           // version 1.0
    Little16(out, 0);
    Little32(out, 0xFFFFFFFF);  // section length: not given
    Little32(out, 0xFFFFFFFF);
    Option(out, kShbUserApplication, Bytes(application));
    Little32(out, kOptionEnd);
    Close(out, start);

    start = Open(out, kInterfaceDescription);
    Little16(out, kLinkTypeRaw);
    Little16(out, 0);
    Little32(out, kIpHeader + kUdpHeader + kLargestPayload);  // snap length: every datagram whole
    Option(out, kIfName, Bytes("udp"));
    const std::uint8_t microseconds = 6;  // 10^-6 s
    Option(out, kIfTimestampResolution, std::span(&microseconds, 1));
    Little32(out, kOptionEnd);
    Close(out, start);
}

void AppendPacket(std::vector<std::uint8_t>& out, std::uint64_t microseconds, const UdpEnds& ends,
                  std::uint16_t identification, std::span<const std::uint8_t> payload) {
    payload = payload.first(std::min(payload.size(), kLargestPayload));
    const auto udpLength = static_cast<std::uint16_t>(kUdpHeader + payload.size());
    const auto ipLength = static_cast<std::uint16_t>(kIpHeader + udpLength);

    const std::size_t start = Open(out, kEnhancedPacket);
    Little32(out, 0);  // interface 0
    Little32(out, static_cast<std::uint32_t>(microseconds >> 32));
    Little32(out, static_cast<std::uint32_t>(microseconds));
    Little32(out, ipLength);  // captured
    Little32(out, ipLength);  // on the wire

    const std::size_t ip = out.size();
    out.resize(ip + kIpHeader + kUdpHeader);
    std::uint8_t* header = out.data() + ip;
    header[0] = 0x45;  // IPv4, 20-byte header
    Big16(header + 2, ipLength);
    Big16(header + 4, identification);
    header[8] = 64;  // time to live
    header[9] = 17;  // UDP
    // Addresses and ports come in network order already: their bytes are copied as they are.
    std::copy_n(reinterpret_cast<const std::uint8_t*>(&ends.source), 4, header + 12);
    std::copy_n(reinterpret_cast<const std::uint8_t*>(&ends.destination), 4, header + 16);
    Big16(header + 10, InternetChecksum(std::span<const std::uint8_t>(header, kIpHeader)));

    std::uint8_t* udp = header + kIpHeader;
    std::copy_n(reinterpret_cast<const std::uint8_t*>(&ends.sourcePort), 2, udp);
    std::copy_n(reinterpret_cast<const std::uint8_t*>(&ends.destinationPort), 2, udp + 2);
    Big16(udp + 4, udpLength);
    // Pseudo-header: both addresses, the protocol and the UDP length; then header and payload.
    std::uint32_t sum = Sum(std::span<const std::uint8_t>(header + 12, 8), 0);
    sum += 17 + udpLength;
    sum = Sum(std::span<const std::uint8_t>(udp, kUdpHeader), sum);
    std::uint16_t checksum = InternetChecksum(payload, sum);
    if (checksum == 0) {
        checksum = 0xFFFF;  // 0 would mean "no checksum"
    }
    Big16(udp + 6, checksum);

    out.insert(out.end(), payload.begin(), payload.end());
    PadTo4(out);
    Close(out, start);
}

}  // namespace peer::pcapng
