#include "peer/checks/ExpectedVoice.h"

#include <sys/stat.h>

#include <algorithm>

#include "peer/Files.h"
#include "peer/PeerError.h"
#include "peer/commands/Options.h"
#include "peer/report/ReportCollector.h"
#include "phone/CallRules.h"

namespace peer {
namespace {}  // namespace

std::vector<std::uint8_t> ExpectedVoice::Read(const std::string& path) {
    // Read at the size the file has, not with room for the longest one.
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        throw UsageError(SystemMessage("--expect-voice: cannot open \"" + path + "\""));
    }
    const auto size = static_cast<std::uint64_t>(std::max<off_t>(status.st_size, 0));
    if (size > ExpectedVoice::kLongestFile) {
        throw UsageError("--expect-voice: \"" + path + "\" holds more than " +
                         std::to_string(ExpectedVoice::kLongestFile) + " bytes");
    }
    std::vector<std::uint8_t> file =
        ReadWhole(path, static_cast<std::size_t>(size), "--expect-voice");
    if (file.empty()) {
        throw UsageError("--expect-voice: \"" + path + "\" is empty: it holds no voice to expect");
    }
    return file;
}

namespace {

bool Accepted(const DatagramEvent& event) {
    return event.look.header.Status == phone::StatusAccepted;
}

bool Ends(std::int16_t command) {
    return command == phone::CmdDisconnect || command == phone::CmdHangUp;
}

}  // namespace

ExpectedVoice::ExpectedVoice(const VoiceExpectation& expectation)
    : ExpectedVoice(std::make_shared<const VoiceCheck::Expected>(Read(expectation.file)),
                    expectation.allowMissingPercent) {}

ExpectedVoice::ExpectedVoice(std::shared_ptr<const VoiceCheck::Expected> expected,
                             double allowMissingPercent)
    : check_(std::move(expected)), allowMissingPercent_(allowMissingPercent) {}

void ExpectedVoice::OnDatagram(const DatagramEvent& event) {
    const Kind kind = event.look.kind;
    const std::int16_t command = event.look.header.Command;
    if (kind == Kind::Voice && !event.outgoing && event.windowBuffer != nullptr) {
        // The very bytes --record writes.
        check_.Take(event.look.header.Seq, event.t,
                    phone::VoiceToStore(std::span<const std::uint8_t, phone::kReceiveBufferSize>(
                        event.windowBuffer, phone::kReceiveBufferSize)));
    } else if (kind == Kind::Reply && command == phone::CmdTalk && Accepted(event)) {
        // Ours accepted by the other side, or the other side's accepted by us.
        talkStart_ = event.t;
    } else if ((kind == Kind::Request && event.outgoing && Ends(command)) ||
               (kind == Kind::Reply && event.outgoing && Ends(command) && Accepted(event))) {
        talkEnd_ = event.t;
    }
}

void ExpectedVoice::Finish(double runEnd, nlohmann::ordered_json& summary, Verdict& verdict,
                           ReportCollector* report) {
    End(runEnd);
    summary["voice_check"] = check_.Json();
    verdict.Judge("voice check", "voice_check", check_.Reasons(allowMissingPercent_));
    if (report != nullptr) {
        MarkVoiceCheck(check_, *report);
    }
}

void ExpectedVoice::End(double runEnd) {
    const bool ended = talkEnd_ && (!talkStart_ || *talkEnd_ >= *talkStart_);
    check_.Finish(ended ? *talkEnd_ : runEnd);
}

void MarkVoiceCheck(const VoiceCheck& check, ReportCollector& collector) {
    collector.Data().voiceChecked = true;
    for (const VoiceCheck::Event& event : check.Events()) {
        collector.AddMark(event.kind == VoiceCheck::EventKind::Corrupted ? MarkKind::Corrupted
                                                                         : MarkKind::MissingChunk,
                          event.t, event.seq);
    }
}

}  // namespace peer
