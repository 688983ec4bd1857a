#pragma once
// How an endpoint answers a control request from its peer, and how it stores received voice.
// The window and the headless peer both answer through these functions, so the two can never
// disagree about a status, a call mode or what is remembered of the caller.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "phone/PhoneDatagram.h"

namespace phone {

inline constexpr std::int32_t ModeIdle = 1;
inline constexpr std::int32_t ModeCalling = 6;
inline constexpr std::int32_t ModeTalking = 7;

// What becomes of the hook indicator: ticked by an accepted Ring or Talk, cleared by an
// accepted HangUp or Disconnect.
enum class Hook { Unchanged, Lifted, Hung };

struct RequestAnswer {
    Status status = StatusRejected;
    std::int32_t mode = ModeIdle;
    Hook hook = Hook::Unchanged;
    // An accepted Ring: the caller's address becomes the remembered peer and the request's
    // target the endpoint's own, and the "Dial: " line is logged.
    bool acceptedRing = false;
};

// The answer to a 12-byte control request received while in `mode`, from `fromAddress` (dotted
// text), with `rememberedPeer` the address text the endpoint holds for its peer. Talk, HangUp
// and Disconnect count only from that exact text, so an empty one refuses them all.
RequestAnswer AnswerRequest(std::int32_t mode, std::string_view rememberedPeer,
                            const PhoneDatagram& request, std::string_view fromAddress);

// The remembered peer after `answer`: the caller's address once a Ring was accepted.
std::string_view PeerAfter(const RequestAnswer& answer, std::string_view rememberedPeer,
                           std::string_view fromAddress);

// The log lines of an answered request, as the window writes them.
std::string DialLine(const PhoneDatagram& request);
std::string SendLine(const PhoneDatagram& request);
// "Read: ", the byte count, then each byte of `reply` after a blank in two upper-case digits.
std::string ReadLine(std::span<const std::uint8_t> reply);

// Upper-case hex digits of `value` as a 32-bit pattern, zero-padded to at least `digits`.
std::string HexText(std::int32_t value, int digits);

// The voice bytes a received voice datagram stores, from the zeroed 2048-byte receive buffer it
// was copied into: Length bytes from offset 14, so bytes past the datagram's end are the
// buffer's zeros; nothing for a Length of 0 or less, never beyond the buffer.
std::span<const std::uint8_t> VoiceToStore(
    std::span<const std::uint8_t, kReceiveBufferSize> buffer);

}  // namespace phone
