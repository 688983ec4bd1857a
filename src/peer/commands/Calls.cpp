// calls: many calls at once, each its own phone, all run by one thread; a line per call as it
// ends, then the summary over all of them.

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>

#include "peer/Addresses.h"
#include "peer/Clock.h"
#include "peer/Files.h"
#include "peer/PeerError.h"
#include "peer/calls/CallsEngine.h"
#include "peer/calls/CallsProgress.h"
#include "peer/calls/CallsTally.h"
#include "peer/checks/ExpectedVoice.h"
#include "peer/checks/JUnit.h"
#include "peer/commands/Subcommands.h"

namespace peer {
namespace {

// HOST[:PORT[-PORT2]]: the phones dialled, one a port.
struct HostAndPorts {
    std::string host;
    NumberRange ports{20080, 20080};
};

HostAndPorts SplitHostPorts(const std::string& text) {
    const std::size_t dash = text.rfind('-');
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || dash == std::string::npos || dash < colon) {
        const HostAndPort one = SplitHostPort(text, 20080, "HOST");
        return {one.host, {one.port, one.port}};
    }
    const HostAndPort first = SplitHostPort(text.substr(0, dash), 20080, "HOST");
    const HostAndPort last = SplitHostPort(first.host + ":" + text.substr(dash + 1), 20080, "HOST");
    if (last.port < first.port) {
        throw UsageError("HOST: the port range in \"" + text + "\" runs backwards");
    }
    return {first.host, {first.port, last.port}};
}

std::vector<std::uint8_t> ReadFile(const std::string& path, const std::string& option) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        throw UsageError(SystemMessage(option + ": cannot open \"" + path + "\""));
    }
    // Every call streams it from memory: as long as the longest voice a check takes.
    const auto size = static_cast<std::uint64_t>(std::max<off_t>(status.st_size, 0));
    if (size > ExpectedVoice::kLongestFile) {
        throw UsageError(option + ": \"" + path + "\" holds more than " +
                         std::to_string(ExpectedVoice::kLongestFile) + " bytes");
    }
    std::vector<std::uint8_t> bytes = ReadWhole(path, static_cast<std::size_t>(size), option);
    if (bytes.empty()) {
        throw UsageError(option + ": \"" + path + "\" is empty");
    }
    return bytes;
}

// The run's checks and then one per call, as the JUnit file lists them.
Verdict JUnitVerdict(const Verdict& run, const Verdict& calls) {
    Verdict all(run.Command(), run.Subject());
    for (const Verdict* verdict : {&run, &calls}) {
        for (const Check& check : verdict->Checks()) {
            Check& copy = check.outcome == Check::Outcome::Skipped
                              ? all.Skip(check.name, check.type, check.reasons.front())
                              : all.Judge(check.name, check.type, check.reasons, check.seconds);
            copy.output = check.output;
        }
    }
    return all;
}

}  // namespace

int RunCalls(const CallsOptions& options, SignalWatch& signals) {
    const HostAndPorts host = SplitHostPorts(options.host);
    const FileUse uses[] = {
        {"--play", options.play, FileRole::Source},
        {"--expect-voice", options.expectVoice.file, FileRole::Source},
        {"--junit", options.junit, FileRole::Document},
        {"--report", options.report, FileRole::Document},
    };
    CheckFileUses(uses);
    const in_addr address = Resolve(host.host, signals);
    const std::vector<std::uint8_t> play =
        options.play.empty() ? std::vector<std::uint8_t>() : ReadFile(options.play, "--play");
    std::shared_ptr<const VoiceCheck::Expected> expected;
    if (!options.expectVoice.file.empty()) {
        expected = std::make_shared<const VoiceCheck::Expected>(
            ExpectedVoice::Read(options.expectVoice.file));
    }
    CallsEngine::MakeRoom(options.concurrent);
    const FileHandle junit = OpenToWrite(options.junit, "--junit");

    // The run's own socket stays idle: every call has its own.
    CommonOptions common = options;
    common.localPort = 0;
    common.receiveBuffer = 0;
    common.junit.clear();
    Run run(common, signals);

    CallPlan plan(address, host.ports, options);
    CallSetup base;
    base.timeout = options.timeoutMs / 1000.0;
    base.talkSeconds = options.talkSeconds;
    base.play = play;
    base.expected = expected;
    base.allowMissingPercent = options.expectVoice.allowMissingPercent;
    base.origin = run.origin;
    base.report = run.Collector() != nullptr ? &run.Collector()->Data() : nullptr;

    CallsTally tally;
    Verdict perCall(options.commandName, options.subject);
    const auto ended = [&](CallResult&& call) {
        tally.Add(call);
        if (!options.junit.empty()) {
            perCall.Judge(
                "call " + std::to_string(call.index) + " " + call.phone + " -> " + call.dialled,
                call.Passed() ? "call" : FailureKey(call.failure),
                call.Passed() ? std::vector<std::string>{}
                              : std::vector<std::string>{std::string(FailureText(call.failure)) +
                                                         ": " + call.detail},
                call.endT - call.ringT);
        }
        if (options.json) {
            run.report.Line(nlohmann::ordered_json{{"call", call.Json()}}.dump());
        } else if (!options.quiet) {
            run.report.Line(call.Text());
        }
    };
    CallsPace pace{options.calls, options.duration, options.concurrent, options.rate,
                   options.receiveBuffer};
    CallsEngine engine(signals, plan, base, pace, ended);
    std::unique_ptr<CallsProgress> progress;
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    if (terminal || options.interval) {
        progress = std::make_unique<CallsProgress>(
            CallsProgress::Setup{terminal, terminal && ::isatty(STDOUT_FILENO) == 1,
                                 options.interval, options.json, run.origin},
            engine, run.report);
        run.report.Guard(progress.get());
        engine.SetTicker(progress.get());
    }

    const bool interrupted = engine.Run();
    if (progress) {
        progress->End();
    }
    const double span = MonotonicSeconds() - run.origin;
    const double upSeconds = engine.Started() > 0 ? MonotonicSeconds() - engine.FirstStart() : 0;

    Verdict verdict(options.commandName, options.subject);
    verdict.JudgeSignal(interrupted);
    tally.Judge(verdict);
    verdict.Judge(
        "placing calls", "socket",
        engine.SocketError().empty()
            ? std::vector<std::string>{}
            : std::vector<std::string>{"calls could not be placed: " + engine.SocketError()});
    nlohmann::ordered_json summary = tally.Json(upSeconds, engine.MostUp());
    if (ReportCollector* collector = run.Collector()) {
        collector->Data().commandSection = TimelineSection(tally, span);
    }
    std::optional<std::string> fault;
    if (junit.Get() >= 0) {
        nlohmann::ordered_json judged = summary;
        judged["verdict"] = verdict.Reasons().empty() ? "pass" : "fail";
        judged["reasons"] = verdict.Reasons();
        fault = WriteJUnit(junit.Get(), options.junit,
                           VerdictJUnit(JUnitVerdict(verdict, perCall), run.startedAt, span, judged,
                                        std::nullopt));
    }
    return run.Finish(summary, verdict, fault);
}

}  // namespace peer
