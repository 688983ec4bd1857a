#include "peer/DatagramLook.h"

namespace peer {

DatagramLook LookAt(std::span<const std::uint8_t> bytes) {
    DatagramLook look;
    if (bytes.size() > phone::kReceiveBufferSize) {
        look.reason = "over 2048";
        return look;
    }
    if (bytes.empty()) {
        look.reason = "empty";
        return look;
    }
    look.hasHeader = true;
    look.header = phone::ReadHeader(bytes);
    switch (phone::Classify(bytes, static_cast<std::int32_t>(bytes.size()))) {
        case phone::DatagramKind::NotPhone:
            look.reason = "not zelk";
            break;
        case phone::DatagramKind::Reply:
            look.kind = Kind::Reply;
            break;
        case phone::DatagramKind::Voice:
            look.kind = Kind::Voice;
            break;
        case phone::DatagramKind::Request:
            look.kind = Kind::Request;
            break;
        case phone::DatagramKind::Ignored:
            look.reason = bytes.size() < phone::kRequestSize ? "shorter than 12"
                                                             : "longer than 12, not voice";
            break;
    }
    return look;
}

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::Request:
            return "request";
        case Kind::Reply:
            return "reply";
        case Kind::Voice:
            return "voice";
        case Kind::Ignored:
            break;
    }
    return "ignored";
}

std::string CommandName(std::int16_t command) {
    switch (command) {
        case phone::CmdRing:
            return "ring";
        case phone::CmdTalk:
            return "talk";
        case phone::CmdHangUp:
            return "hangup";
        case phone::CmdDisconnect:
            return "disconnect";
        case phone::CmdVoice:
            return "voice";
        default:
            return std::to_string(command);
    }
}

}  // namespace peer
