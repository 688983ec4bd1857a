#include "peer/phones/PhoneVoiceChecks.h"

#include <algorithm>

#include "peer/commands/Options.h"

namespace peer {

PhoneVoiceChecks::PhoneVoiceChecks(const VoiceExpectation& expectation,
                                   std::vector<std::string> names)
    : expected_(
          std::make_shared<const VoiceCheck::Expected>(ExpectedVoice::Read(expectation.file))),
      allowMissingPercent_(expectation.allowMissingPercent),
      names_(std::move(names)),
      checks_(names_.size()) {}

ExpectedVoice& PhoneVoiceChecks::CheckOf(std::uint32_t phone) {
    if (!checks_[phone]) {
        checks_[phone] = std::make_unique<ExpectedVoice>(expected_, allowMissingPercent_);
    }
    return *checks_[phone];
}

void PhoneVoiceChecks::OnDatagram(const DatagramEvent& event) {
    if (event.outgoing && !checks_[event.phone]) {
        return;  // a phone's check starts with what reaches it
    }
    CheckOf(event.phone).OnDatagram(event);
}

void PhoneVoiceChecks::Finish(double runEnd, nlohmann::ordered_json& summary, Verdict& verdict,
                              ReportCollector* report) {
    if (std::none_of(checks_.begin(), checks_.end(), [](const auto& check) { return !!check; })) {
        CheckOf(0);
    }
    nlohmann::ordered_json sum;
    std::vector<std::string> reasons;
    std::uint64_t checked = 0;
    for (std::size_t phone = 0; phone < checks_.size(); ++phone) {
        if (!checks_[phone]) {
            continue;
        }
        ExpectedVoice& check = *checks_[phone];
        check.End(runEnd);
        ++checked;
        for (const std::string& reason : check.Reasons()) {
            reasons.push_back("phone " + names_[phone] + ": " + reason);
        }
        if (report != nullptr) {
            MarkVoiceCheck(check.Check(), *report);
        }
        nlohmann::ordered_json own = check.Check().Json();
        if (!own["first_corrupted"].is_null()) {
            own["first_corrupted"]["phone"] = names_[phone];
        }
        if (sum.is_null()) {
            sum = own;
            continue;
        }
        for (const auto& item : own.items()) {
            const std::string& key = item.key();
            const auto& value = item.value();
            if (key == "first_corrupted") {
                const auto& kept = sum[key];
                if (!value.is_null() && (kept.is_null() || value["t"] < kept["t"])) {
                    sum[key] = value;
                }
            } else if (key != "chunks_expected") {
                sum[key] = sum[key].get<std::uint64_t>() + value.get<std::uint64_t>();
            }
        }
    }
    sum["phones_checked"] = checked;
    summary["voice_check"] = sum;
    verdict.Judge("voice check", "voice_check", reasons);
}

}  // namespace peer
