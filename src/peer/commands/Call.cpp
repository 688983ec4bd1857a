// call: Ring, Talk, stream and record, Disconnect; every reply within its time and as expected.

#include "peer/Addresses.h"
#include "peer/Clock.h"
#include "peer/Files.h"
#include "peer/PeerError.h"
#include "peer/checks/ExpectedVoice.h"
#include "peer/commands/Subcommands.h"
#include "peer/progress/Planned.h"
#include "peer/scenario/ScenarioSave.h"
#include "peer/session/Session.h"

namespace peer {

int RunCall(const CallOptions& options, SignalWatch& signals) {
    const HostAndPort host = SplitHostPort(options.host, 20080, "HOST");
    const FileUse uses[] = {
        {"--play", options.play, FileRole::Source},
        {"--record", options.record, FileRole::Stream},
        {"--save", options.save, FileRole::Document},
        {"--pcap", options.pcap, FileRole::Stream},
        {"--expect-voice", options.expectVoice.file, FileRole::Source},
        {"--junit", options.junit, FileRole::Document},
        {"--report", options.report, FileRole::Document},
    };
    CheckFileUses(uses);
    const in_addr address = Resolve(host.host, signals);
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
    const std::optional<double> talking =
        options.talkSeconds ? options.talkSeconds : StreamingSeconds(play.Get());

    SessionSettings settings;
    settings.peerPort = host.port;
    // As the window holds the peer's address in eIP: its requests count, and replies go there.
    settings.rememberedPeer = AddressText(address);
    settings.target = options.target;
    settings.playFd = play.Release();
    settings.record = &record;
    settings.impairments = options.impairments;
    settings.ticker = run.ShowProgress(talking);
    settings.collector = run.Collector();
    Session session(run.wire, run.report, run.figures, signals, std::move(settings));
    const sockaddr_in to = MakeEndpoint(address, host.port);
    session.StreamTo(to);
    std::optional<ScenarioRecorder> recorder;
    if (!options.save.empty()) {
        recorder.emplace(
            ScenarioRecorder::Setup{options.save, true, address, options.play, options.timeoutMs,
                                    "Saved by udpphone-peer call " + options.host +
                                        ": what the caller sent, and what came back to it.",
                                    run.origin});
        run.wire.AddTap(*recorder);
        session.WatchVoice(
            [&](std::span<const std::uint8_t> chunk) { recorder->OnScheduledVoice(chunk); });
    }

    // Each request's reply is a check of its own; the verdict lists them in the order sent.
    Verdict verdict(options.commandName, options.subject);
    bool interrupted = false;
    const double timeout = options.timeoutMs / 1000.0;
    auto step = [&](phone::Command command, std::int32_t mode, const std::string& name) {
        const std::string check = name + " reply";
        const double sent = MonotonicSeconds();
        const Session::Outcome outcome = session.Request(command, mode, to, timeout);
        const double waited = MonotonicSeconds() - sent;
        interrupted = interrupted || outcome.stop == Session::Stop::Signal;
        if (!outcome.status && outcome.stop == Session::Stop::Signal) {
            // Not waited for: the interruption is the reason.
            verdict.Skip(check, "reply", Interrupted().what());
            return false;
        }
        if (!outcome.status) {
            // Where this end listened: the first thing to check when nothing came.
            std::string reason = name + ": no reply within " + std::to_string(options.timeoutMs) +
                                 " ms on " + EndpointText(run.wire.Bound());
            if (outcome.elsewhere) {
                reason += "; one came from " + EndpointText(*outcome.elsewhere) + ", not from " +
                          EndpointText(to);
            }
            verdict.Fail(check, "reply", reason, waited);
            return false;
        }
        if (*outcome.status != static_cast<std::int16_t>(options.expectStatus)) {
            verdict.Fail(check, "reply",
                         name + ": reply with status " + std::to_string(*outcome.status) +
                             ", expected " + std::to_string(options.expectStatus),
                         waited);
            return false;
        }
        verdict.Pass(check, "reply", waited);
        return true;
    };

    const bool rang = step(phone::CmdRing, phone::ModeCalling, "Ring") && !interrupted;
    if (!rang) {
        verdict.Skip("Talk reply", "reply", interrupted ? Interrupted().what() : "Ring failed");
    }
    if (rang && step(phone::CmdTalk, phone::ModeTalking, "Talk") && !interrupted) {
        const double end =
            options.talkSeconds ? MonotonicSeconds() + *options.talkSeconds : Session::kNever;
        const Session::Stop stop = session.RunUntil(
            [&] {
                // The other side may end the call; without a talk time, the file's end does.
                return session.Mode() != phone::ModeTalking ||
                       (!options.talkSeconds && (!session.HasVoice() || session.VoiceFinished()));
            },
            end);
        interrupted = stop == Session::Stop::Signal;
    }
    // The voice made late or held back goes out before the Disconnect, as it would on a line.
    session.QuietVoice(MonotonicSeconds() + options.impairments.jitterMs / 1000 + 1);
    // Always, so the other side is left idle, also after a refusal or an interruption.
    step(phone::CmdDisconnect, phone::ModeIdle, "Disconnect");
    session.Settle();

    verdict.JudgeSignal(interrupted);
    JudgeRecord(verdict, options.record, session.RecordErrors());
    nlohmann::ordered_json summary = run.figures.Summary();
    summary["impairments"] = session.Impairments();
    summary["unexpected"] = session.Strangers().Count();
    summary["unexpected_datagrams"] = session.Strangers().List();
    verdict.Pass("voice pacing", "pacing").output = PacingFigures(summary);
    if (expected) {
        expected->Finish(MonotonicSeconds() - run.origin, summary, verdict, run.Collector());
    }
    return run.Finish(summary, verdict, recorder ? recorder->Finish() : std::nullopt);
}

}  // namespace peer
