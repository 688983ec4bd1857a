// report: the figures of every call in a capture, as a live run of either end would have given
// them. One line for the capture, then one summary a conversation: with --json each is a JSON
// object on a line of its own, so a script reads the capture's counts from the first line and a
// one-call capture's summary from the last, as it reads a live run's.

#include <cstdio>

#include "peer/capture/CaptureReading.h"
#include "peer/commands/Subcommands.h"

namespace peer {
namespace {

ConversationChoice ChoiceOf(const ReportOptions& options) {
    ConversationChoice choice;
    if (!options.conversation.empty()) {
        const std::size_t dash = options.conversation.find('-');
        choice.between = std::pair(*ParseEndpoint(options.conversation.substr(0, dash), true),
                                   *ParseEndpoint(options.conversation.substr(dash + 1), true));
    }
    if (!options.local.empty()) {
        choice.local = ParseEndpoint(options.local, false);
        choice.localAnyPort = options.local.find(':') == std::string::npos;
    }
    return choice;
}

void PrintCapture(const nlohmann::ordered_json& capture, bool json) {
    if (json) {
        std::printf("%s\n", nlohmann::ordered_json{{"capture", capture}}.dump().c_str());
        return;
    }
    std::printf("capture:\n");
    for (const auto& [key, value] : capture.items()) {
        std::printf("  %s: %s\n", key.c_str(),
                    (value.is_string() ? value.get<std::string>() : value.dump()).c_str());
    }
}

}  // namespace

int RunReport(const ReportOptions& options, SignalWatch& signals) {
    CaptureReading reading(options.capture, ChoiceOf(options), [&] { return signals.Caught(); });
    reading.Survey();
    // Every tap of a conversation is in place before the second reading (Conversation::AddTap):
    // one added later would miss its datagrams.
    reading.Replay();

    PrintCapture(reading.Summary(), options.json);
    Report output({options.json, true});
    for (const auto& conversation : reading.Conversations()) {
        output.Summary(conversation->Summary());
    }
    std::fflush(stdout);
    if (reading.Damage()) {
        std::fprintf(stderr, "udpphone-peer: %s\n", reading.Damage()->c_str());
        return 2;
    }
    if (reading.Conversations().empty()) {
        std::string which = "no conversation of the protocol";
        if (!options.conversation.empty()) {
            which += " between " + options.conversation;
        } else if (!options.local.empty()) {
            which += " with " + options.local + " as an end";
        }
        std::fprintf(stderr, "udpphone-peer: \"%s\" holds %s\n", options.capture.c_str(),
                     which.c_str());
        return 1;
    }
    return 0;
}

}  // namespace peer
