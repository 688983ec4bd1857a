#pragma once
// What is kept of a call once it ended: its figures and its verdict, small enough to keep for
// every call of a long run, and the per-call line and JSON object made of them.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "peer/figures/Figures.h"

namespace peer {

// Why a call failed; the first failure of a call is its reason.
enum class Failure { None, NoReply, Refused, ReplyFromElsewhere, VoiceCheck, Stall, Interrupted };
// "no_reply", "refused", ...: the summary's key. None: "".
const char* FailureKey(Failure failure);
// "no reply", "refused", ...: as a line gives it.
const char* FailureText(Failure failure);

struct CallResult {
    std::uint64_t index = 0;
    std::string phone;    // this end's address:port
    std::string dialled;  // the other end's
    std::int32_t target = 1;
    double ringT = 0, endT = 0;   // on the run's clock: Ring sent, Disconnect's reply (or none)
    std::optional<double> setup;  // Ring sent to its reply, monotonic seconds
    // Each reply's latency on the stamps: sent on the clock, received on the kernel's.
    std::optional<double> ringLatency, talkLatency, disconnectLatency;
    std::uint64_t voiceSent = 0, voiceReceived = 0;
    Spread sentSpacing, receivedSpacing;
    double drift = 0;
    std::uint64_t stalls = 0;
    std::uint64_t gaps = 0, duplicates = 0, reordered = 0;
    std::uint64_t sendErrors = 0, unexpected = 0;
    std::uint32_t receiveDrops = 0;
    std::optional<nlohmann::ordered_json> voiceCheck;
    Failure failure = Failure::None;
    std::string detail;  // the failure as a sentence

    bool Passed() const { return failure == Failure::None; }
    nlohmann::ordered_json Json() const;
    // One readable line.
    std::string Text() const;
};

}  // namespace peer
