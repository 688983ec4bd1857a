// answer: listens and answers by the window's rules until its end condition.

#include <iostream>

#include "peer/Addresses.h"
#include "peer/Clock.h"
#include "peer/Files.h"
#include "peer/checks/ExpectedVoice.h"
#include "peer/commands/Subcommands.h"
#include "peer/scenario/ScenarioSave.h"
#include "peer/session/Session.h"

namespace peer {

void JudgeAnswerEnd(Verdict& verdict, const AnswerOptions& options, EventLoop::Stop stop,
                    std::uint64_t requests) {
    // Without an end condition a signal is how the run ends, and no failure.
    if (!options.untilDisconnect && !options.count) {
        return;
    }
    const std::string awaited =
        options.untilDisconnect
            ? std::string("an accepted Disconnect")
            : std::to_string(*options.count) + " requests (" + std::to_string(requests) + " came)";
    verdict.Judge("end condition", "end",
                  stop == EventLoop::Stop::Condition ? std::vector<std::string>{}
                  : stop == EventLoop::Stop::Signal
                      ? std::vector<std::string>{"interrupted before " + awaited}
                      : std::vector<std::string>{"--duration ran out before " + awaited});
}

int RunAnswer(const AnswerOptions& options, SignalWatch& signals) {
    if (options.phones > 1) {
        return RunAnswerPhones(options, signals);
    }
    // A saved scenario streams the caller's voice again from a file: the one recorded while it
    // holds just that, or files made beside the scenario.
    const std::string voiceBesideSave =
        options.save.empty() ? std::string() : options.save + ".voice";
    const FileUse uses[] = {
        {"--play", options.play, FileRole::Source},
        {"--record", options.record, FileRole::Stream},
        {"--save", options.save, FileRole::Document},
        {"--save", voiceBesideSave, FileRole::Document},
        {"--pcap", options.pcap, FileRole::Stream},
        {"--expect-voice", options.expectVoice.file, FileRole::Source},
        {"--junit", options.junit, FileRole::Document},
        {"--report", options.report, FileRole::Document},
    };
    CheckFileUses(uses);
    FileHandle play = OpenToPlay(options.play);
    std::optional<ExpectedVoice> expected;
    if (!options.expectVoice.file.empty()) {
        expected.emplace(options.expectVoice);
    }
    OutputFile record(options.record, "--record", signals);
    Run run(options, signals, options.record);
    if (expected) {
        run.AddTap(*expected);
    }
    std::optional<ScenarioRecorder> recorder;
    if (!options.save.empty()) {
        recorder.emplace(ScenarioRecorder::Setup{
            options.save, false, std::nullopt, options.record, 1000,
            "Saved by udpphone-peer answer: what the caller sent, and what came back to it.",
            run.origin});
        run.wire.AddTap(*recorder);
    }

    SessionSettings settings;
    settings.peerPort = static_cast<std::uint16_t>(options.peerPort);
    settings.replyToSender = options.replyToSender;
    settings.rememberedPeer = options.peer;
    settings.target = options.target;
    settings.playFd = play.Release();
    settings.record = &record;
    settings.impairments = options.impairments;
    settings.collector = run.Collector();
    settings.requestLimit = options.count;
    settings.ticker = run.ShowProgress(options.duration);
    Session session(run.wire, run.report, run.figures, signals, std::move(settings));
    std::cerr << "udpphone-peer: answering on " << EndpointText(run.wire.Bound()) << std::endl;

    const double start = MonotonicSeconds();
    const double deadline = options.duration ? start + *options.duration : Session::kNever;
    const Session::Stop stop = session.RunUntil(
        [&] {
            return (options.untilDisconnect && session.Disconnects() > 0) ||
                   (options.count && session.RequestsReceived() >= *options.count);
        },
        deadline);
    // What the impairments made late or held back still goes out.
    session.QuietVoice(MonotonicSeconds() + options.impairments.jitterMs / 1000 + 1);
    session.Settle();

    Verdict verdict(options.commandName, options.subject);
    JudgeAnswerEnd(verdict, options, stop, session.RequestsReceived());
    JudgeRecord(verdict, options.record, session.RecordErrors());
    const std::optional<std::string> saveFault =
        recorder ? recorder->Finish() : std::optional<std::string>();
    nlohmann::ordered_json summary = run.figures.Summary();
    summary["impairments"] = session.Impairments();
    summary["calls_total"] = run.figures.CallCount();
    summary["calls"] = run.figures.Calls();
    verdict.Pass("voice pacing", "pacing").output = PacingFigures(summary);
    if (expected) {
        expected->Finish(MonotonicSeconds() - run.origin, summary, verdict, run.Collector());
    }
    return run.Finish(summary, verdict, saveFault);
}

}  // namespace peer
