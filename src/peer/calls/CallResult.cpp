#include "peer/calls/CallResult.h"

#include <cstdio>

namespace peer {
namespace {

nlohmann::ordered_json OptionalMs(const std::optional<double>& seconds) {
    return seconds ? nlohmann::ordered_json(Ms(*seconds)) : nlohmann::ordered_json(nullptr);
}

std::string MsText(const std::optional<double>& seconds) {
    if (!seconds) {
        return "-";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", Ms(*seconds));
    return text;
}

}  // namespace

const char* FailureKey(Failure failure) {
    switch (failure) {
        case Failure::None:
            return "";
        case Failure::NoReply:
            return "no_reply";
        case Failure::Refused:
            return "refused";
        case Failure::ReplyFromElsewhere:
            return "reply_from_elsewhere";
        case Failure::VoiceCheck:
            return "voice_check";
        case Failure::Stall:
            return "stall";
        case Failure::Interrupted:
            return "interrupted";
    }
    return "";
}

const char* FailureText(Failure failure) {
    switch (failure) {
        case Failure::NoReply:
            return "no reply";
        case Failure::ReplyFromElsewhere:
            return "reply from elsewhere";
        case Failure::VoiceCheck:
            return "voice check";
        default:
            return FailureKey(failure);
    }
}

nlohmann::ordered_json CallResult::Json() const {
    nlohmann::ordered_json json = {
        {"index", index},
        {"phone", phone},
        {"target", target},
        {"dialled", dialled},
        {"ring_at", std::round(ringT * 1e6) / 1e6},
        {"ended_at", std::round(endT * 1e6) / 1e6},
        {"setup_ms", OptionalMs(setup)},
        {"reply_latency_ms",
         {{"ring", OptionalMs(ringLatency)},
          {"talk", OptionalMs(talkLatency)},
          {"disconnect", OptionalMs(disconnectLatency)}}},
        {"voice_sent", voiceSent},
        {"voice_received", voiceReceived},
        {"sent_spacing_ms", SpreadMs(sentSpacing, false)},
        {"received_spacing_ms", SpreadMs(receivedSpacing, false)},
        {"drift_ms", Ms(drift)},
        {"stalls", stalls},
        {"seq", {{"gaps", gaps}, {"duplicates", duplicates}, {"reordered", reordered}}},
        {"send_errors", sendErrors},
        {"receive_drops", receiveDrops},
        {"unexpected", unexpected},
    };
    if (voiceCheck) {
        json["voice_check"] = *voiceCheck;
    }
    json["verdict"] = Passed() ? "pass" : "fail";
    json["reason"] =
        Passed() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(FailureText(failure));
    json["detail"] = detail;
    return json;
}

std::string CallResult::Text() const {
    const std::string verdict =
        Passed() ? "pass" : std::string("fail (") + FailureText(failure) + ": " + detail + ")";
    char text[512];
    std::snprintf(text, sizeof text,
                  "call %llu %s -> %s target %d: %s; setup %s ms, voice %llu sent %llu received, "
                  "received spacing p99 %s ms, stalls %llu",
                  static_cast<unsigned long long>(index), phone.c_str(), dialled.c_str(), target,
                  verdict.c_str(), MsText(setup).c_str(),
                  static_cast<unsigned long long>(voiceSent),
                  static_cast<unsigned long long>(voiceReceived),
                  receivedSpacing.measured ? MsText(receivedSpacing.p99).c_str() : "-",
                  static_cast<unsigned long long>(stalls));
    return text;
}

}  // namespace peer
