#pragma once
// Runs made up for the report's tests: datagrams as a live run's taps see them, fed through the
// report's collector and the peer's own figures, so the report data and the summary come from
// the same code a real run uses.

#include <cstdint>
#include <string>
#include <vector>

#include "peer/report/ReportData.h"

namespace testsupport {

struct SampleCall {
    double seconds = 30;
    std::uint64_t seed = 1;
    // Indices of the other side's voice chunks that are lost, come twice, or come after the next.
    std::vector<std::uint64_t> dropped, duplicated, reordered;
    // With a voice check: the chunks lost are missing, these arrive but match nothing.
    bool voiceCheck = false;
    std::vector<std::uint64_t> corrupted;
    // Times at which the sent voice's schedule stalls for three periods.
    std::vector<double> stalls;
    // A spacing of the sent voice made this many milliseconds long, at the middle of the call;
    // 0: none.
    double spikeMs = 0;
    std::string commandLine = "udpphone-peer run call.scenario 127.0.0.2 --report call.html";
    std::string failingStepText = "expect voice count=40 within=3";
    std::string failingReason = "2 voice datagrams within 3000 ms, 40 expected";
};
// The voice both ways, the replies of Ring, Talk and Disconnect, and a scenario whose
// second-to-last step fails.
peer::ReportData MakeCall(const SampleCall& sample);

// `load` of Ring requests at `rate` a second, every one answered.
peer::ReportData MakeLoad(double seconds, double rate);

}  // namespace testsupport
