#pragma once
// The four subcommands. Each checks what only the system can tell (names, files, the port) before
// it sends anything, and returns the exit code: 0 pass, 1 fail; UsageError means 2.

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "peer/capture/Capture.h"
#include "peer/checks/Verdict.h"
#include "peer/commands/Options.h"
#include "peer/figures/Figures.h"
#include "peer/figures/Report.h"
#include "peer/progress/Progress.h"
#include "peer/report/HtmlReportFile.h"
#include "peer/session/EventLoop.h"
#include "peer/session/Signals.h"
#include "peer/session/Wire.h"

namespace peer {

int RunAnswer(const AnswerOptions& options, SignalWatch& signals);
// answer with --phones above 1.
int RunAnswerPhones(const AnswerOptions& options, SignalWatch& signals);
// answer's end condition, met or not by how its wait ended after `requests` requests.
void JudgeAnswerEnd(Verdict& verdict, const AnswerOptions& options, EventLoop::Stop stop,
                    std::uint64_t requests);
int RunCall(const CallOptions& options, SignalWatch& signals);
int RunSend(const SendOptions& options, SignalWatch& signals);
int RunLoad(const LoadOptions& options, SignalWatch& signals);
int RunCalls(const CallsOptions& options, SignalWatch& signals);
int RunScenario(const ScenarioOptions& options, SignalWatch& signals);
int RunReport(const ReportOptions& options, SignalWatch& signals);

// A run a signal ended during its set-up: nothing was sent. The summary (every figure zero, the
// verdict fail, interrupted) where the run's own would have gone; the exit code of a failed run.
// With --junit, the file says so too.
int FinishInterrupted(const CommonOptions& options, const std::string& record = "");

// The datagram `send` sends, from its flags or its hex; UsageError when it cannot be built.
std::vector<std::uint8_t> BuildDatagram(const SendOptions& options);

// The socket and the taps every run has: the figures and the report watch the wire, with --pcap
// the capture and with --report the HTML report's collector (their files made here, before
// anything is sent, as the --junit file is). The report goes to standard error when standard
// output carries the capture or the `record`ed voice ("-"). Interrupted when a signal came during
// the set-up.
struct Run {
    Run(const CommonOptions& options, SignalWatch& signalWatch, const std::string& record = "");
    // Another socket of the run, bound to `address`:`port` (0: any free one), watched by the
    // same taps; with the run's receive buffer unless another is given, and receiving into
    // `sharing`'s room when given (Wire's).
    Wire& AddWire(const in_addr& address, std::uint16_t port = 0,
                  std::optional<int> receiveBufferBytes = std::nullopt,
                  const Wire* sharing = nullptr);
    // Another tap on every socket of the run, also those added later.
    void AddTap(DatagramTap& tap);
    // The running figures, where a terminal or --interval asks for them (else null), planned to
    // last `planned` seconds if that is known.
    Progress* ShowProgress(std::optional<double> planned, bool load = false);
    // The summary with its verdict, last on standard output, the HTML report that holds it and
    // the --junit file; the exit code: 2 after a capture, report, JUnit (or `failedFile`) that
    // could not be written (the verdict "error"), else 0 pass, 1 fail.
    int Finish(nlohmann::ordered_json summary, const Verdict& verdict,
               const std::optional<std::string>& failedFile = std::nullopt);

    int receiveBuffer;
    double origin;     // monotonic seconds at the start: event times count from here
    double startedAt;  // real-time seconds at the start
    Wire wire;
    Figures figures;
    Report report;
    std::unique_ptr<OutputFile> lines;  // the report's, when standard output is a pipe
    std::unique_ptr<Capture> capture;
    std::unique_ptr<HtmlReportFile> html;  // --report; written by Finish
    std::vector<std::unique_ptr<Wire>> otherWires;
    std::unique_ptr<Progress> progress;

    // What the HTML report is told besides the datagrams (stalls, impairments, replies, steps,
    // the load's intervals, the voice check's marks); null without --report.
    ReportCollector* Collector() { return html ? &html->collector : nullptr; }

  private:
    void Watch(Wire& watched);

    bool json_;
    std::optional<double> interval_;
    std::string junitPath_;
    FileHandle junit_;
    std::vector<DatagramTap*> taps_;
};

// Writes the run's JUnit document to `fd`: the error when it cannot.
std::optional<std::string> WriteJUnit(int fd, const std::string& path, const std::string& xml);

}  // namespace peer
