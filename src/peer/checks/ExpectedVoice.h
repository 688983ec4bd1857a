#pragma once
// --expect-voice on a running call: every received voice datagram, as the window stores it, held
// against the file, and when the other side's voice was due, so that chunks that never came at
// the end of a call count as missing while those after its end do not.
//
// One check follows the whole run. Where answer takes several calls, each call whose voice starts
// the file again is a new pass over it (VoiceCheck's restarts), and a call that ends early leaves
// the rest of its pass unjudged; the voice is due from the last accepted Talk to the last end of
// talking after it (a Disconnect or HangUp sent or accepted), or to the run's end while talking.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "peer/checks/Verdict.h"
#include "peer/checks/VoiceCheck.h"
#include "peer/session/Wire.h"

namespace peer {

class ReportCollector;

struct VoiceExpectation;

class ExpectedVoice final : public DatagramTap {
  public:
    // The longest file taken: 256 MiB, nine hours of voice.
    static constexpr std::size_t kLongestFile = 256u << 20;

    // Reads the --expect-voice file (a regular file, as CheckFileUses makes sure); an empty one
    // has no voice to hold anything against and is refused (UsageError).
    explicit ExpectedVoice(const VoiceExpectation& expectation);
    // The file's voice as Read gave it, indexed: one serves the checks of many calls.
    ExpectedVoice(std::shared_ptr<const VoiceCheck::Expected> expected, double allowMissingPercent);
    // The --expect-voice file's bytes; UsageError for a file too long, empty or unreadable.
    static std::vector<std::uint8_t> Read(const std::string& path);

    void OnDatagram(const DatagramEvent& event) override;

    // Ends the check at `runEnd` (seconds on the run's clock): the summary gains voice_check, the
    // verdict the voice check, and the report (where there is one) its marks.
    void Finish(double runEnd, nlohmann::ordered_json& summary, Verdict& verdict,
                ReportCollector* report = nullptr);

    const VoiceCheck& Check() const { return check_; }
    // Ends the check alone (Finish does it too), for a caller that judges several together;
    // then why it fails.
    void End(double runEnd);
    std::vector<std::string> Reasons() const { return check_.Reasons(allowMissingPercent_); }

  private:
    VoiceCheck check_;
    double allowMissingPercent_;
    std::optional<double> talkStart_, talkEnd_;
};

// The check on the report's Seq picture: corrupted and missing chunks marked where they were.
void MarkVoiceCheck(const VoiceCheck& check, ReportCollector& collector);

}  // namespace peer
