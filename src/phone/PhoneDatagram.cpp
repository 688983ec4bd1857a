#include "phone/PhoneDatagram.h"

#include <algorithm>

namespace phone {

std::uint16_t ReadWord(std::span<const std::uint8_t> bytes, std::size_t offset) {
    std::uint16_t low = offset < bytes.size() ? bytes[offset] : 0;
    std::uint16_t high = offset + 1 < bytes.size() ? bytes[offset + 1] : 0;
    return static_cast<std::uint16_t>(low | (high << 8));
}

void WriteWord(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value) {
    if (offset < bytes.size()) {
        bytes[offset] = static_cast<std::uint8_t>(value & 0xFF);
    }
    if (offset + 1 < bytes.size()) {
        bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
    }
}

PhoneDatagram ReadHeader(std::span<const std::uint8_t> bytes) {
    auto signedWord = [&](std::size_t offset) {
        return static_cast<std::int16_t>(ReadWord(bytes, offset));
    };
    PhoneDatagram header;
    header.Seq = ReadWord(bytes, kOffsetSeq);
    header.Target = signedWord(kOffsetTarget);
    header.Command = signedWord(kOffsetCommand);
    header.Status = signedWord(kOffsetStatus);
    header.Length = signedWord(kOffsetLength);
    return header;
}

DatagramKind Classify(std::span<const std::uint8_t> buffer, std::int32_t numberBytes) {
    // Only the received bytes count, whatever the rest of the buffer holds.
    const auto received =
        buffer.first(std::min(static_cast<std::size_t>(std::max(numberBytes, 0)), buffer.size()));
    if (received.empty() || received[0] != kMagic[0]) {
        return DatagramKind::NotPhone;
    }
    const PhoneDatagram header = ReadHeader(received);
    if (header.Status != StatusRequest) {
        return DatagramKind::Reply;
    }
    if (header.Command == CmdVoice && numberBytes > static_cast<std::int32_t>(kRequestSize)) {
        return DatagramKind::Voice;
    }
    if (numberBytes == static_cast<std::int32_t>(kRequestSize)) {
        return DatagramKind::Request;
    }
    return DatagramKind::Ignored;
}

std::uint16_t TakeRequestSeq(std::int32_t& nextSeq) {
    auto seq = static_cast<std::uint16_t>(static_cast<std::uint32_t>(nextSeq) & 0xFFFF);
    // Two's-complement wrap at the 32-bit limit rather than undefined overflow.
    nextSeq = static_cast<std::int32_t>(static_cast<std::uint32_t>(nextSeq) + 1u);
    return seq;
}

std::uint16_t VoiceSeq(std::int32_t nextSeq) {
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(nextSeq) & 0xFFFF);
}

void AdvanceVoiceSeq(std::int32_t& nextSeq) {
    nextSeq = static_cast<std::int32_t>(static_cast<std::uint32_t>(nextSeq) + 1u);
    if (nextSeq >= 65536) {
        nextSeq = 1;
    }
}

namespace {

void WriteHeader(std::span<std::uint8_t> out, std::uint16_t seq, std::int32_t target,
                 Command command) {
    std::copy(std::begin(kMagic), std::end(kMagic), out.begin());
    WriteWord(out, kOffsetSeq, seq);
    WriteWord(out, kOffsetTarget, static_cast<std::uint16_t>(static_cast<std::uint32_t>(target)));
    WriteWord(out, kOffsetCommand, static_cast<std::uint16_t>(command));
    WriteWord(out, kOffsetStatus, static_cast<std::uint16_t>(StatusRequest));
}

}  // namespace

void BuildRequest(std::span<std::uint8_t, kRequestSize> out, Command command, std::uint16_t seq,
                  std::int32_t target) {
    WriteHeader(out, seq, target, command);
}

void SetStatus(std::span<std::uint8_t> datagram, Status status) {
    WriteWord(datagram, kOffsetStatus, static_cast<std::uint16_t>(status));
}

void BuildVoiceHeader(std::span<std::uint8_t, kVoiceSize> out, std::uint16_t seq,
                      std::int32_t target, std::int16_t length) {
    WriteHeader(out, seq, target, CmdVoice);
    WriteWord(out, kOffsetLength, static_cast<std::uint16_t>(length));
}

}  // namespace phone
