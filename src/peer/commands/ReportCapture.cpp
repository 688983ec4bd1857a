// report: the figures of every call in a capture, as a live run of either end would have given
// them. One line for the capture, then one summary a conversation: with --json each is a JSON
// object on a line of its own, so a script reads the capture's counts from the first line and a
// one-call capture's summary from the last, as it reads a live run's. With -o, the same as an
// HTML report, as --report draws a live run.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "peer/Files.h"
#include "peer/capture/CaptureReading.h"
#include "peer/commands/Subcommands.h"
#include "peer/report/CaptureReport.h"

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
    if (!options.output.empty()) {
        const FileUse uses[] = {{"CAPTURE", options.capture, FileRole::Source},
                                {"--output", options.output, FileRole::Document}};
        CheckFileUses(uses);
    }
    FileHandle page = OpenToWrite(options.output, "--output");
    CaptureReading reading(options.capture, ChoiceOf(options), [&] { return signals.Caught(); });
    reading.Survey();
    // Every tap of a conversation is in place before the second reading (Conversation::AddTap):
    // one added later would miss its datagrams.
    std::optional<CaptureReport> html;
    if (page.Get() >= 0) {
        html.emplace(reading);
    }
    reading.Replay();

    PrintCapture(reading.Summary(), options.json);
    Report output({options.json, true});
    for (const auto& conversation : reading.Conversations()) {
        output.Summary(conversation->Summary());
    }
    std::fflush(stdout);
    // What was read of a damaged capture is drawn too, as it is printed.
    if (html) {
        const std::string text = html->Render(reading, options.commandLine);
        if (!WriteAll(page.Get(), text.data(), text.size())) {
            const std::string reason = std::strerror(errno);
            // Half a page would read as a whole one that says less.
            [[maybe_unused]] const int emptied = ::ftruncate(page.Get(), 0);
            std::fprintf(stderr, "udpphone-peer: --output: cannot write \"%s\": %s\n",
                         options.output.c_str(), reason.c_str());
            return 2;
        }
    }
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
