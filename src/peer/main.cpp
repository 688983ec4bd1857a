// udpphone-peer: the headless endpoint. Exit codes: 0 pass, 1 fail (also a run a signal ended
// while it was being set up), 2 bad usage or a file, name or socket that cannot be used.

#include <cstdio>
#include <exception>
#include <string>
#include <type_traits>
#include <variant>

#include "peer/Clock.h"
#include "peer/PeerError.h"
#include "peer/commands/CommandLine.h"
#include "peer/commands/Subcommands.h"
#include "peer/session/Signals.h"

namespace {

template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

}  // namespace

int main(int argc, char** argv) {
    // Blocked before anything else, so a signal always finds the run ready to end in order.
    peer::SignalWatch signals;
    const peer::Parsed parsed = peer::ParseCommandLine(argc, argv);
    if (!parsed.invocation) {
        return parsed.exitCode;
    }
    peer::TightenTimerSlack();
    try {
        return std::visit(
            Overloaded{
                [&](const peer::AnswerOptions& options) { return RunAnswer(options, signals); },
                [&](const peer::CallOptions& options) { return RunCall(options, signals); },
                [&](const peer::SendOptions& options) { return RunSend(options, signals); },
                [&](const peer::LoadOptions& options) { return RunLoad(options, signals); },
                [&](const peer::CallsOptions& options) { return RunCalls(options, signals); },
                [&](const peer::ScenarioOptions& options) { return RunScenario(options, signals); },
                [&](const peer::ReportOptions& options) { return RunReport(options, signals); }},
            *parsed.invocation);
    } catch (const peer::Interrupted&) {
        return std::visit(
            [](const auto& options) {
                if constexpr (std::is_same_v<std::decay_t<decltype(options)>,
                                             peer::ReportOptions>) {
                    return 2;  // nothing was sent, and a capture half read gives no figures
                } else {
                    std::string record;
                    if constexpr (requires { options.record; }) {
                        record = options.record;
                    }
                    return peer::FinishInterrupted(options, record);
                }
            },
            *parsed.invocation);
    } catch (const peer::UsageError& error) {
        std::fprintf(stderr, "udpphone-peer: %s\n", error.what());
        return 2;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "udpphone-peer: %s\n", error.what());
        return 2;
    }
}
