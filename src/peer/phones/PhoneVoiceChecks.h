#pragma once
// --expect-voice for many phones: each phone's voice held against the file on its own (its calls
// restart the file as one answer's do), and the checks summed for the summary. A phone that never
// heard from anyone is not judged; a run where none did is, as one answer without voice.

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "peer/checks/ExpectedVoice.h"
#include "peer/checks/Verdict.h"
#include "peer/session/Wire.h"

namespace peer {

class ReportCollector;
struct VoiceExpectation;

class PhoneVoiceChecks final : public DatagramTap {
  public:
    // Reads the file once; `names` are the phones' local addresses and ports.
    PhoneVoiceChecks(const VoiceExpectation& expectation, std::vector<std::string> names);

    void OnDatagram(const DatagramEvent& event) override;

    // As ExpectedVoice::Finish: voice_check sums every phone's counts (chunks_expected is the
    // file's), names the phones checked and the first corrupted chunk's phone; each reason says
    // its phone.
    void Finish(double runEnd, nlohmann::ordered_json& summary, Verdict& verdict,
                ReportCollector* report);

  private:
    ExpectedVoice& CheckOf(std::uint32_t phone);

    std::shared_ptr<const VoiceCheck::Expected> expected_;
    double allowMissingPercent_;
    std::vector<std::string> names_;
    std::vector<std::unique_ptr<ExpectedVoice>> checks_;  // made as each phone is first heard
};

}  // namespace peer
