// answer --phones: answers as many phones at once, each by the window's rules on a socket of its
// own, all on one thread; the summary gives the totals over every phone and each call's figures.

#include <iostream>

#include "peer/Addresses.h"
#include "peer/Clock.h"
#include "peer/Files.h"
#include "peer/commands/Subcommands.h"
#include "peer/phones/PhoneVoiceChecks.h"
#include "peer/phones/Phones.h"

namespace peer {

int RunAnswerPhones(const AnswerOptions& given, SignalWatch& signals) {
    RaiseDescriptorLimit();
    AnswerOptions options = given;
    if (!options.receiveBufferGiven) {
        options.receiveBuffer = kPhoneReceiveBuffer;
    }
    const FileUse uses[] = {
        {"--play", options.play, FileRole::Source},
        {"--pcap", options.pcap, FileRole::Stream},
        {"--expect-voice", options.expectVoice.file, FileRole::Source},
        {"--junit", options.junit, FileRole::Document},
        {"--report", options.report, FileRole::Document},
    };
    CheckFileUses(uses);
    // One descriptor for every phone: each reads it from a place of its own.
    const FileHandle play = OpenToPlay(options.play);
    Run run(options, signals);

    SessionSettings settings;
    settings.peerPort = static_cast<std::uint16_t>(options.peerPort);
    settings.replyToSender = options.replyToSender;
    settings.rememberedPeer = options.peer;
    settings.target = options.target;
    settings.playFd = play.Get();
    settings.sharedPlay = true;
    settings.outerLoop = true;
    settings.collector = run.Collector();
    settings.ticker = run.ShowProgress(options.duration);
    Phones phones(options, run, signals, settings);
    run.figures.SetPhones(phones.Names());
    std::optional<PhoneVoiceChecks> expected;
    if (!options.expectVoice.file.empty()) {
        expected.emplace(options.expectVoice, phones.Names());
        run.AddTap(*expected);
    }
    std::cerr << "udpphone-peer: answering on " << phones.Names().front() << " to "
              << phones.Names().back() << " as " << phones.Count() << " phones" << std::endl;

    const double start = MonotonicSeconds();
    const double deadline = options.duration ? start + *options.duration : Session::kNever;
    const Session::Stop stop = phones.RunUntil(
        [&] {
            return (options.untilDisconnect && phones.Disconnects() > 0) ||
                   (options.count && phones.RequestsReceived() >= *options.count);
        },
        deadline, options.count);
    phones.Settle(run.figures);

    Verdict verdict(options.commandName, options.subject);
    JudgeAnswerEnd(verdict, options, stop, phones.RequestsReceived());
    nlohmann::ordered_json summary = run.figures.Summary();
    summary["impairments"] = phones.Impairments();
    summary["phones"] = phones.Count();
    summary["calls_total"] = run.figures.CallCount();
    summary["calls"] = run.figures.Calls();
    verdict.Pass("voice pacing", "pacing").output = PacingFigures(summary);
    if (expected) {
        expected->Finish(MonotonicSeconds() - run.origin, summary, verdict, run.Collector());
    }
    return run.Finish(summary, verdict);
}

}  // namespace peer
