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

}  // namespace

Run::Run(const CommonOptions& options, SignalWatch& signals, const std::string& record)
    : receiveBuffer(options.receiveBuffer),
      origin(MonotonicSeconds()),
      wire(ParseDotted(options.bind), static_cast<std::uint16_t>(options.localPort),
           options.receiveBuffer),
      report({options.json, options.quiet}, ReportStream(options, record)) {
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
    watched.SetOrigin(origin);
}

Wire& Run::AddWire(const in_addr& address) {
    otherWires.push_back(std::make_unique<Wire>(address, 0, receiveBuffer));
    Watch(*otherWires.back());
    return *otherWires.back();
}

int Run::Finish(nlohmann::ordered_json summary, const std::vector<std::string>& reasons,
                const std::optional<std::string>& failedFile) {
    summary["receive_buffer_bytes"] = wire.ReceiveBufferBytes();
    summary["receive_drops"] = wire.ReceiveDrops();
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
    summary["verdict"] = "fail";
    summary["reasons"] = nlohmann::ordered_json::array({Interrupted().what()});
    std::optional<std::string> fault;
    if (!options.report.empty()) {
        // The report is there after a signal too, saying that nothing was sent.
        try {
            HtmlReportFile html(options.report, options.commandLine, MonotonicSeconds());
            fault = html.Write(summary, "", 0);
        } catch (const UsageError& error) {
            fault = error.what();
        }
        if (fault) {
            summary["verdict"] = "error";
            summary["reasons"].push_back(*fault);
        }
    }
    report.Summary(summary);
    if (fault) {
        std::fprintf(stderr, "udpphone-peer: %s\n", fault->c_str());
        return 2;
    }
    return 1;
}

}  // namespace peer
