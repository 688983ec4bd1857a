#pragma once
// What a datagram is to the window: the same tests in the same order, on exactly the bytes that
// arrived. A datagram over 2048 bytes is a failed receive for the window, whatever it holds.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "phone/PhoneDatagram.h"

namespace peer {

enum class Kind { Request, Reply, Voice, Ignored };

struct DatagramLook {
    Kind kind = Kind::Ignored;
    // Why the window drops an ignored datagram; null otherwise.
    const char* reason = nullptr;
    // The header as the window reads it (zero past the end); meaningless when over 2048 or empty.
    phone::PhoneDatagram header;
    bool hasHeader = false;
};

// The largest payload a UDP datagram over IPv4 carries: the most that --hex or a scenario's hex=
// and size= can ask for.
inline constexpr std::size_t kLargestDatagram = 65507;

DatagramLook LookAt(std::span<const std::uint8_t> bytes);

const char* KindName(Kind kind);

// "ring", "talk", "hangup", "disconnect", "voice", or the number.
std::string CommandName(std::int16_t command);

}  // namespace peer
