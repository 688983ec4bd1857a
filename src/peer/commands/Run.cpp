#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "peer/Addresses.h"
#include "peer/Clock.h"
#include "peer/Files.h"
#include "peer/PeerError.h"
#include "peer/commands/Subcommands.h"

namespace peer {
namespace {

// Where the lines and the summary go: standard error when standard output carries a capture or
// the recorded voice.
std::FILE* ReportStream(const CommonOptions& options, const std::string& record) {
    return IsStandardOutput(options.pcap) || IsStandardOutput(record) ? stderr : stdout;
}

// Whether `stream` is the terminal standard error is.
bool OnStatusTerminal(std::FILE* stream) {
    struct stat lines {};
    struct stat status {};
    return stream != nullptr && ::isatty(::fileno(stream)) == 1 &&
           ::fstat(::fileno(stream), &lines) == 0 && ::fstat(STDERR_FILENO, &status) == 0 &&
           lines.st_rdev == status.st_rdev;
}

}  // namespace

std::optional<std::string> WriteJUnit(int fd, const std::string& path, const std::string& xml) {
    if (!WriteAll(fd, xml.data(), xml.size())) {
        return SystemMessage("--junit: cannot write \"" + path + "\"");
    }
    return std::nullopt;
}

Run::Run(const CommonOptions& options, SignalWatch& signals, const std::string& record)
    : receiveBuffer(options.receiveBuffer),
      origin(MonotonicSeconds()),
      startedAt(RealtimeSeconds()),
      wire(ParseDotted(options.bind), static_cast<std::uint16_t>(options.localPort),
           options.receiveBuffer),
      report({options.json, options.quiet}, ReportStream(options, record)),
      json_(options.json),
      interval_(options.interval),
      junitPath_(options.junit),
      junit_(OpenToWrite(options.junit, "--junit")) {
    // A pipe that nobody reads would block the lines, and with them a signal; written as any
    // other pipe, it holds the run back only until shortly after one.
    struct stat status {};
    if (ReportStream(options, record) == stdout && ::fstat(STDOUT_FILENO, &status) == 0 &&
        S_ISFIFO(status.st_mode)) {
        lines = std::make_unique<OutputFile>("-", "the lines and the summary", signals);
        report.WriteThrough(lines.get());
    }
    if (!options.pcap.empty()) {
        capture = std::make_unique<Capture>(options.pcap, signals);
    }
    if (!options.report.empty()) {
        html = std::make_unique<HtmlReportFile>(options.report, options.commandLine, origin);
    }
    Watch(wire);
    // A signal during the set-up ends the run before anything is sent.
    if (signals.Caught()) {
        throw Interrupted();
    }
}

void Run::Watch(Wire& watched) {
    watched.AddTap(figures);
    watched.AddTap(report);
    if (html) {
        watched.AddTap(html->collector);
    }
    if (capture) {
        capture->Watch(watched);
    }
    for (DatagramTap* tap : taps_) {
        watched.AddTap(*tap);
    }
    watched.SetOrigin(origin);
}

Wire& Run::AddWire(const in_addr& address, std::uint16_t port,
                   std::optional<int> receiveBufferBytes, const Wire* sharing) {
    otherWires.push_back(
        std::make_unique<Wire>(address, port, receiveBufferBytes.value_or(receiveBuffer), sharing));
    Watch(*otherWires.back());
    return *otherWires.back();
}

void Run::AddTap(DatagramTap& tap) {
    taps_.push_back(&tap);
    wire.AddTap(tap);
    for (const auto& other : otherWires) {
        other->AddTap(tap);
    }
}

Progress* Run::ShowProgress(std::optional<double> planned, bool load) {
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    if (!terminal && !interval_) {
        return nullptr;
    }
    progress = std::make_unique<Progress>(
        Progress::Setup{terminal, terminal && OnStatusTerminal(report.Stream()), interval_, json_,
                        load, origin},
        figures, report);
    progress->SetPlanned(planned);
    report.Guard(progress.get());
    AddTap(progress->Tap());
    return progress.get();
}

int Run::Finish(nlohmann::ordered_json summary, const Verdict& verdict,
                const std::optional<std::string>& failedFile) {
    if (progress) {
        progress->End();
    }
    const std::vector<std::string> reasons = verdict.Reasons();
    // Unless the command counted them over sockets of its own; else over every socket of the run.
    if (!summary.contains("receive_drops")) {
        summary["receive_buffer_bytes"] = wire.ReceiveBufferBytes();
        std::uint64_t drops = wire.ReceiveDrops();
        for (const auto& other : otherWires) {
            drops += other->ReceiveDrops();
        }
        summary["receive_drops"] = drops;
    }
    std::optional<std::string> fault = failedFile;
    if (capture) {
        capture->Flush();
        summary["capture"] = {{"file", capture->Path()}, {"datagrams", capture->Packets()}};
        if (capture->Error()) {
            summary["capture"]["error"] = *capture->Error();
            fault = fault ? *fault + "; " + *capture->Error() : *capture->Error();
        }
    }
    // A file that could not be written leaves the run without a verdict: neither pass nor fail,
    // as the exit code 2 says.
    std::vector<std::string> all = reasons;
    if (fault) {
        all.push_back(*fault);
    }
    summary["verdict"] = fault ? "error" : reasons.empty() ? "pass" : "fail";
    summary["reasons"] = all;
    if (html) {
        // The page holds the summary as printed; one that could not be written is a fault of
        // its own, which the printed summary then says.
        if (auto failed =
                html->Write(summary, EndpointText(wire.Bound()), MonotonicSeconds() - origin)) {
            fault = fault ? *fault + "; " + *failed : *failed;
            all.push_back(*failed);
            summary["verdict"] = "error";
            summary["reasons"] = all;
        }
    }
    if (junit_.Get() >= 0) {
        const std::string xml =
            VerdictJUnit(verdict, startedAt, MonotonicSeconds() - origin, summary, fault);
        if (const auto error = WriteJUnit(junit_.Get(), junitPath_, xml)) {
            fault = fault ? *fault + "; " + *error : *error;
            all.push_back(*error);
            summary["verdict"] = "error";
            summary["reasons"] = all;
        }
    }
    report.Summary(summary);
    if (fault) {
        std::fprintf(stderr, "udpphone-peer: %s\n", fault->c_str());
        return 2;
    }
    return reasons.empty() ? 0 : 1;
}

int FinishInterrupted(const CommonOptions& options, const std::string& record) {
    Report report({options.json, options.quiet}, ReportStream(options, record));
    nlohmann::ordered_json summary = Figures().Summary();
    Verdict verdict(options.commandName, options.subject);
    verdict.JudgeSignal(true);
    summary["verdict"] = "fail";
    summary["reasons"] = verdict.Reasons();
    std::optional<std::string> fault;
    if (!options.report.empty()) {
        // The report is there after a signal too, saying that nothing was sent.
        try {
            HtmlReportFile html(options.report, options.commandLine, MonotonicSeconds());
            fault = html.Write(summary, "", 0);
        } catch (const UsageError& error) {
            fault = error.what();
        }
    }
    if (!options.junit.empty()) {
        try {
            const FileHandle junit = OpenToWrite(options.junit, "--junit");
            if (auto error = WriteJUnit(
                    junit.Get(), options.junit,
                    VerdictJUnit(verdict, RealtimeSeconds(), 0, summary, std::nullopt))) {
                fault = fault ? *fault + "; " + *error : *error;
            }
        } catch (const UsageError& error) {
            fault = fault ? *fault + "; " + error.what() : std::string(error.what());
        }
    }
    if (fault) {
        summary["verdict"] = "error";
        summary["reasons"].push_back(*fault);
    }
    report.Summary(summary);
    if (fault) {
        std::fprintf(stderr, "udpphone-peer: %s\n", fault->c_str());
        return 2;
    }
    return 1;
}

}  // namespace peer
