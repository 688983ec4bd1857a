#pragma once
// The benchmark's datagrams: each carries its own index, so that the receiving side can tell a
// lost, repeated or reordered one from the bytes alone.

#include <cstdint>
#include <cstring>

#include "phone/PhoneDatagram.h"

namespace bench {

// A 400-byte chunk: the index as 8 little-endian bytes, then a pattern that depends on it.
inline void FillChunk(std::uint8_t* chunk, std::uint64_t index) {
    for (int i = 0; i < 8; ++i) {
        chunk[i] = static_cast<std::uint8_t>(index >> (8 * i));
    }
    for (std::size_t j = 8; j < phone::kVoicePayloadSize; ++j) {
        chunk[j] = static_cast<std::uint8_t>(index * 131 + j);
    }
}

inline bool ChunkIs(const std::uint8_t* chunk, std::uint64_t index) {
    std::uint8_t expected[phone::kVoicePayloadSize];
    FillChunk(expected, index);
    return std::memcmp(chunk, expected, sizeof expected) == 0;
}

inline std::uint64_t ChunkIndex(const std::uint8_t* chunk) {
    std::uint64_t index = 0;
    for (int i = 0; i < 8; ++i) {
        index |= static_cast<std::uint64_t>(chunk[i]) << (8 * i);
    }
    return index;
}

// A 416-byte voice datagram carrying chunk `index`.
inline void FillVoice(std::uint8_t* datagram, std::uint64_t index) {
    std::memset(datagram, 0, phone::kVoiceSize);
    std::memcpy(datagram, phone::kMagic, 4);
    phone::WriteWord({datagram, phone::kVoiceSize}, phone::kOffsetSeq,
                     static_cast<std::uint16_t>(index));
    phone::WriteWord({datagram, phone::kVoiceSize}, phone::kOffsetTarget, 1);
    phone::WriteWord({datagram, phone::kVoiceSize}, phone::kOffsetCommand, phone::CmdVoice);
    phone::WriteWord({datagram, phone::kVoiceSize}, phone::kOffsetLength, phone::kVoicePayloadSize);
    FillChunk(datagram + phone::kOffsetPayload, index);
}

// A 12-byte request whose Seq holds the low 16 bits of `index` and Target the next 15.
inline void FillRequest(std::uint8_t* datagram, std::uint64_t index, phone::Command command) {
    std::memcpy(datagram, phone::kMagic, 4);
    phone::WriteWord({datagram, phone::kRequestSize}, phone::kOffsetSeq,
                     static_cast<std::uint16_t>(index));
    phone::WriteWord({datagram, phone::kRequestSize}, phone::kOffsetTarget,
                     static_cast<std::uint16_t>((index >> 16) & 0x7FFF));
    phone::WriteWord({datagram, phone::kRequestSize}, phone::kOffsetCommand,
                     static_cast<std::uint16_t>(command));
    phone::WriteWord({datagram, phone::kRequestSize}, phone::kOffsetStatus, 0);
}

inline std::uint64_t RequestIndex(const std::uint8_t* datagram) {
    return phone::ReadWord({datagram, phone::kRequestSize}, phone::kOffsetSeq) |
           (static_cast<std::uint64_t>(
                phone::ReadWord({datagram, phone::kRequestSize}, phone::kOffsetTarget))
            << 16);
}

}  // namespace bench
