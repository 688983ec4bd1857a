#include "phone/CallRules.h"

#include <algorithm>

namespace phone {

RequestAnswer AnswerRequest(std::int32_t mode, std::string_view rememberedPeer,
                            const PhoneDatagram& request, std::string_view fromAddress) {
    RequestAnswer answer;
    answer.mode = mode;
    // Texts compared exactly: a name or a padded address never matches the sender's dotted one.
    const bool fromPeer = fromAddress == rememberedPeer;
    switch (request.Command) {
        case CmdRing:
            // Any host, any target, but only while idle; the mode stays idle.
            if (mode == ModeIdle) {
                answer.status = StatusAccepted;
                answer.hook = Hook::Lifted;
                answer.acceptedRing = true;
            }
            break;
        case CmdTalk:
            if (fromPeer) {
                answer.status = StatusAccepted;
                answer.hook = Hook::Lifted;
                answer.mode = ModeTalking;
            }
            break;
        case CmdHangUp:
        case CmdDisconnect:
            if (fromPeer) {
                answer.status = StatusAccepted;
                answer.hook = Hook::Hung;
                answer.mode = ModeIdle;
            }
            break;
        default:
            break;
    }
    return answer;
}

std::string_view PeerAfter(const RequestAnswer& answer, std::string_view rememberedPeer,
                           std::string_view fromAddress) {
    return answer.acceptedRing ? fromAddress : rememberedPeer;
}

std::string HexText(std::int32_t value, int digits) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    auto pattern = static_cast<std::uint32_t>(value);
    std::string text;
    do {
        text.insert(text.begin(), kDigits[pattern & 0xF]);
        pattern >>= 4;
    } while (pattern != 0);
    if (digits > 0 && text.size() < static_cast<std::size_t>(digits)) {
        text.insert(0, static_cast<std::size_t>(digits) - text.size(), '0');
    }
    return text;
}

std::string DialLine(const PhoneDatagram& request) {
    return "Dial: " + std::to_string(request.Target);
}

std::string SendLine(const PhoneDatagram& request) {
    return "Send: " + HexText(request.Target, 2) + " " + HexText(request.Command, 2);
}

std::string ReadLine(std::span<const std::uint8_t> reply) {
    std::string line = "Read: " + std::to_string(reply.size());
    for (const std::uint8_t byte : reply) {
        line += ' ';
        line += HexText(byte, 2);
    }
    return line;
}

std::span<const std::uint8_t> VoiceToStore(
    std::span<const std::uint8_t, kReceiveBufferSize> buffer) {
    const std::int16_t length = ReadHeader(buffer).Length;
    if (length <= 0) {
        return {};
    }
    const std::size_t room = buffer.size() - kOffsetPayload;
    return std::span<const std::uint8_t>(buffer).subspan(
        kOffsetPayload, std::min(static_cast<std::size_t>(length), room));
}

}  // namespace phone
