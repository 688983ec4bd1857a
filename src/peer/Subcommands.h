#pragma once
// The four subcommands. Each checks what only the system can tell (names, files, the port) before
// it sends anything, and returns the exit code: 0 pass, 1 fail; UsageError means 2.

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "peer/Figures.h"
#include "peer/Options.h"
#include "peer/Report.h"
#include "peer/Signals.h"
#include "peer/Wire.h"

namespace peer {

int RunAnswer(const AnswerOptions& options, SignalWatch& signals);
int RunCall(const CallOptions& options, SignalWatch& signals);
int RunSend(const SendOptions& options, SignalWatch& signals);
int RunLoad(const LoadOptions& options, SignalWatch& signals);

// The datagram `send` sends, from its flags or its hex; UsageError when it cannot be built.
std::vector<std::uint8_t> BuildDatagram(const SendOptions& options);

// The socket and the two taps every run has: the figures and the report both watch the wire.
struct Run {
    explicit Run(const CommonOptions& options);
    // The summary with its verdict, last on standard output; the exit code.
    int Finish(nlohmann::ordered_json summary, const std::vector<std::string>& reasons);

    Wire wire;
    Figures figures;
    Report report;
};

}  // namespace peer
