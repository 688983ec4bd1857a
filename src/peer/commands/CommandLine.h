#pragma once
// The command line: subcommands, their options, their checks and their help (CLI11).

#include <optional>
#include <string>
#include <variant>

#include "peer/commands/Options.h"

namespace peer {

using Invocation = std::variant<AnswerOptions, CallOptions, SendOptions, LoadOptions, CallsOptions,
                                ScenarioOptions, ReportOptions>;

struct Parsed {
    std::optional<Invocation> invocation;  // none: nothing to run (help, or an error)
    int exitCode = 0;                      // when there is nothing to run
};

// Parses and checks everything that can be checked without touching the system; help and
// error messages go to standard output and standard error.
Parsed ParseCommandLine(int argc, const char* const* argv);

// A --command value: a name (ring, talk, hangup, disconnect, voice) or a number that fits 16
// bits; none when it is neither.
std::optional<std::int16_t> CommandCode(const std::string& text);

}  // namespace peer
