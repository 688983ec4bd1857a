#pragma once
// The benchmarks. A driver prints its rows for the table and starts the measurement processes it
// needs; a step is one such process, which prints "name=value" lines.

#include <string>
#include <vector>

namespace bench {

// Seconds a rate step lasts; the environment's BENCH_STEP_SECONDS shortens it for trials.
double StepSeconds();

int VoicePacing(const std::vector<std::string>& arguments);
int VoicePacingStep(const std::vector<std::string>& arguments);

int ReceiveCapacity(const std::vector<std::string>& arguments);
int ReceiveStep(const std::vector<std::string>& arguments);
int ReceiveBaselineStep(const std::vector<std::string>& arguments);

int RequestFlood(const std::vector<std::string>& arguments);
int FloodStep(const std::vector<std::string>& arguments);
int FloodBaselineStep(const std::vector<std::string>& arguments);
int MemoFullStep(const std::vector<std::string>& arguments);
int TalkFloodStep(const std::vector<std::string>& arguments);
// Bursts of Rings of a fixed size for a profiler, independent of time.
int RingProfile(const std::vector<std::string>& arguments);

int LookupWait(const std::vector<std::string>& arguments);

// The headless peer's pacing and load; the first argument is the udpphone-peer executable.
int PeerPacing(const std::vector<std::string>& arguments);
int PeerLoad(const std::vector<std::string>& arguments);
// Many calls at once: `calls` against `answer --phones`.
int PeerCalls(const std::vector<std::string>& arguments);
int LookupWaitStep(const std::vector<std::string>& arguments);

// The HTML report's costs; the first argument is the udpphone-peer executable.
int PeerReportCapture(const std::vector<std::string>& arguments);
int PeerReportLoad(const std::vector<std::string>& arguments);
int PeerReportCpu(const std::vector<std::string>& arguments);

}  // namespace bench
