// call: Ring, Talk, stream and record, Disconnect; every reply within its time and as expected.

#include "peer/Addresses.h"
#include "peer/Clock.h"
#include "peer/Files.h"
#include "peer/commands/Subcommands.h"
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
        {"--report", options.report, FileRole::Document},
    };
    CheckFileUses(uses);
    const in_addr address = Resolve(host.host, signals);
    FileHandle play = OpenToPlay(options.play);
    OutputFile record(options.record, "--record", signals);
    Run run(options, signals, options.record);

    SessionSettings settings;
    settings.peerPort = host.port;
    // As the window holds the peer's address in eIP: its requests count, and replies go there.
    settings.rememberedPeer = AddressText(address);
    settings.target = options.target;
    settings.playFd = play.Release();
    settings.record = &record;
    settings.impairments = options.impairments;
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

    std::vector<std::string> reasons;
    bool interrupted = false;
    const double timeout = options.timeoutMs / 1000.0;
    auto step = [&](phone::Command command, std::int32_t mode, const std::string& name) {
        const Session::Outcome outcome = session.Request(command, mode, to, timeout);
        interrupted = interrupted || outcome.stop == Session::Stop::Signal;
        if (!outcome.status && outcome.stop == Session::Stop::Signal) {
            return false;  // not waited for: the interruption is the reason
        }
        if (!outcome.status) {
            // Where this end listened: the first thing to check when nothing came.
            std::string reason = name + ": no reply within " + std::to_string(options.timeoutMs) +
                                 " ms on " + EndpointText(run.wire.Bound());
            if (outcome.elsewhere) {
                reason += "; one came from " + EndpointText(*outcome.elsewhere) + ", not from " +
                          EndpointText(to);
            }
            reasons.push_back(reason);
            return false;
        }
        if (*outcome.status != static_cast<std::int16_t>(options.expectStatus)) {
            reasons.push_back(name + ": reply with status " + std::to_string(*outcome.status) +
                              ", expected " + std::to_string(options.expectStatus));
            return false;
        }
        return true;
    };

    if (step(phone::CmdRing, phone::ModeCalling, "Ring") && !interrupted &&
        step(phone::CmdTalk, phone::ModeTalking, "Talk") && !interrupted) {
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

    if (interrupted) {
        reasons.push_back("interrupted by a signal");
    }
    if (session.RecordErrors() > 0) {
        reasons.push_back("--record: " + std::to_string(session.RecordErrors()) +
                          " voice datagrams could not be written");
    }
    nlohmann::ordered_json summary = run.figures.Summary();
    summary["impairments"] = session.Impairments();
    summary["unexpected"] = session.Strangers().Count();
    summary["unexpected_datagrams"] = session.Strangers().List();
    return run.Finish(summary, reasons, recorder ? recorder->Finish() : std::nullopt);
}

}  // namespace peer
