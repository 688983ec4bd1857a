#pragma once
// The phone protocol's one record: "zelk", Seq, Target, Command, Status (12 bytes), and in voice
// datagrams Length and up to 400 voice bytes, padded to 416 bytes. All words little-endian.

#include <cstddef>
#include <cstdint>
#include <span>

namespace phone {

inline constexpr std::size_t kRequestSize = 12;
inline constexpr std::size_t kVoiceHeaderSize = 14;
inline constexpr std::size_t kVoicePayloadSize = 400;
inline constexpr std::size_t kVoiceSize = 416;
// Room for the largest datagram the socket delivers whole.
inline constexpr std::size_t kReceiveBufferSize = 2048;

inline constexpr std::size_t kOffsetSeq = 4;
inline constexpr std::size_t kOffsetTarget = 6;
inline constexpr std::size_t kOffsetCommand = 8;
inline constexpr std::size_t kOffsetStatus = 10;
inline constexpr std::size_t kOffsetLength = 12;
inline constexpr std::size_t kOffsetPayload = 14;

inline constexpr std::uint8_t kMagic[4] = {'z', 'e', 'l', 'k'};

enum Command : std::int16_t {
    CmdRing = 5,
    CmdTalk = 7,
    CmdHangUp = 8,
    CmdDisconnect = 9,
    CmdVoice = 10,
};

enum Status : std::int16_t {
    StatusRequest = 0,
    StatusAccepted = 1,
    StatusRejected = 2,
};

// The header fields as a receiver reads them: signed, except Seq.
struct PhoneDatagram {
    std::uint16_t Seq = 0;
    std::int16_t Target = 0;
    std::int16_t Command = 0;
    std::int16_t Status = 0;
    std::int16_t Length = 0;
};

// What a received datagram is, by the first of the receiver's tests that matches.
enum class DatagramKind {
    NotPhone,  // byte 0 is not "z"
    Reply,     // Status is not 0
    Voice,     // Command 10 and more than 12 bytes
    Request,   // exactly 12 bytes
    Ignored,   // anything else
};

// A 16-bit field; bytes beyond the end of `bytes` read as zero and are not written.
std::uint16_t ReadWord(std::span<const std::uint8_t> bytes, std::size_t offset);
void WriteWord(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value);

// The header fields of `bytes`, zero where `bytes` ends early.
PhoneDatagram ReadHeader(std::span<const std::uint8_t> bytes);

// Classifies a datagram of `numberBytes` bytes held at the start of `buffer`; fields beyond the
// count read as zero. A count of 0 or less (a failed receive) copied nothing: not a phone datagram.
DatagramKind Classify(std::span<const std::uint8_t> buffer, std::int32_t numberBytes);

// The Seq of a request: the low 16 bits of `nextSeq`, which advances at once and never wraps
// (past 65535 the Seq runs on from 0).
std::uint16_t TakeRequestSeq(std::int32_t& nextSeq);

// The Seq of a voice datagram, taken before the send; see AdvanceVoiceSeq.
std::uint16_t VoiceSeq(std::int32_t nextSeq);

// After a voice datagram was handed to the socket: advance, and wrap to 1 at 65536.
void AdvanceVoiceSeq(std::int32_t& nextSeq);

// Fills a control request: "zelk", Seq, the low 16 bits of `target`, Command, Status 0.
void BuildRequest(std::span<std::uint8_t, kRequestSize> out, Command command, std::uint16_t seq,
                  std::int32_t target);

// Turns a received request into its reply: only Status changes.
void SetStatus(std::span<std::uint8_t> datagram, Status status);

// Fills the header of a voice datagram whose `length` payload bytes are already at offset 14.
void BuildVoiceHeader(std::span<std::uint8_t, kVoiceSize> out, std::uint16_t seq,
                      std::int32_t target, std::int16_t length);

}  // namespace phone
