#include "peer/calls/CallsTally.h"

#include <cmath>

namespace peer {
namespace {

constexpr Failure kFailures[] = {Failure::NoReply, Failure::Refused, Failure::ReplyFromElsewhere,
                                 Failure::VoiceCheck, Failure::Stall};

}  // namespace

void CallsTally::Add(const CallResult& call) {
    ++attempted_;
    if (call.Passed()) {
        ++completed_;
    } else if (call.failure == Failure::Interrupted) {
        ++interrupted_;
    } else {
        ++failed_[static_cast<std::size_t>(call.failure)];
    }
    stalls_ += call.stalls;
    receiveDrops_ += call.receiveDrops;
    sendErrors_ += call.sendErrors;
    unexpected_ += call.unexpected;
    voiceSent_ += call.voiceSent;
    voiceReceived_ += call.voiceReceived;
    seqEvents_ += call.gaps + call.duplicates + call.reordered;
    if (call.receivedSpacing.measured) {
        receiveP99_.Add(call.receivedSpacing.p99);
    }
    if (call.setup) {
        setup_.Add(*call.setup);
    }
    if (rows_.size() < kDrawnRows) {
        rows_.push_back(
            {call.ringT, std::max(call.endT, call.ringT), !call.Passed(),
             "call " + std::to_string(call.index) + " " + call.phone + " -> " + call.dialled +
                 ": " +
                 (call.Passed() ? std::string("pass")
                                : std::string(FailureText(call.failure)) + ": " + call.detail)});
    }
}

nlohmann::ordered_json CallsTally::Json(double seconds, std::uint64_t mostUp) const {
    nlohmann::ordered_json failed = nlohmann::ordered_json::object();
    for (const Failure failure : kFailures) {
        failed[FailureKey(failure)] = failed_[static_cast<std::size_t>(failure)];
    }
    const auto perSecond = [&](std::uint64_t count) {
        return seconds > 0 ? std::round(static_cast<double>(count) / seconds * 10) / 10 : 0.0;
    };
    return {
        {"calls",
         {{"attempted", attempted_},
          {"completed", completed_},
          {"failed", attempted_ - completed_ - interrupted_},
          {"interrupted", interrupted_},
          {"most_up", mostUp}}},
        {"failed", failed},
        {"setup_ms", SpreadMs(setup_, false)},
        {"voice_sent", voiceSent_},
        {"voice_received", voiceReceived_},
        {"voice_per_second",
         {{"sent", perSecond(voiceSent_)}, {"received", perSecond(voiceReceived_)}}},
        // Each call's receive spacing p99, over the calls that received voice.
        {"receive_spacing_p99_ms", SpreadMs(receiveP99_, false)},
        {"seq_events", seqEvents_},
        {"stalls", stalls_},
        {"receive_drops", receiveDrops_},
        {"send_errors", sendErrors_},
        {"unexpected", unexpected_},
        {"kept_pace", KeptPace()},
    };
}

void CallsTally::Judge(Verdict& verdict) const {
    std::vector<std::string> reasons;
    if (KeptPace() && completed_ + interrupted_ < attempted_) {
        std::string reason = std::to_string(attempted_ - completed_ - interrupted_) + " of " +
                             std::to_string(attempted_) + " calls failed:";
        const char* separator = " ";
        for (const Failure failure : kFailures) {
            if (const std::uint64_t count = failed_[static_cast<std::size_t>(failure)]) {
                reason += separator + std::to_string(count) + " " + FailureText(failure);
                separator = ", ";
            }
        }
        reasons.push_back(reason);
    }
    verdict.Judge("calls", "calls", reasons);
    std::vector<std::string> pace;
    if (!KeptPace()) {
        pace.push_back(std::string(kPaceReason) + ": " + std::to_string(stalls_) +
                       " voice sends more than a period late, " + std::to_string(receiveDrops_) +
                       " datagrams dropped by the kernel for want of room");
    }
    verdict.Judge("pace", "pacing", pace);
}

}  // namespace peer
