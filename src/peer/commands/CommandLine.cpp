#include "peer/commands/CommandLine.h"

#include <arpa/inet.h>
#include <CLI/CLI.hpp>
#include <cctype>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include "peer/Addresses.h"
#include "peer/DatagramLook.h"
#include "peer/capture/CaptureReading.h"
#include "peer/report/ReportData.h"
#include "phone/PhoneDatagram.h"

namespace peer {
namespace {

std::optional<long> WholeNumber(const std::string& text) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// A 16-bit field takes -32768 to 65535: signed as a receiver reads it, or its bits unsigned.
bool FitsField(long value) {
    return value >= -32768 && value <= 65535;
}

const CLI::Validator kDotted(
    [](std::string& text) {
        return IsDottedAddress(text) ? std::string()
                                     : "\"" + text +
                                           "\" is not a dotted IPv4 address such as "
                                           "192.0.2.7 (no names, no leading zeros)";
    },
    "A.B.C.D", "dotted address");

const CLI::Validator kField(
    [](std::string& text) {
        const auto value = WholeNumber(text);
        return value && FitsField(*value) ? std::string()
                                          : "\"" + text + "\" is not a number from -32768 to 65535";
    },
    "-32768..65535", "16-bit field");

std::string Shortest(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

// A floating-point value from `low` to `high` (inclusive; `lowOpen`: above `low`), finite: CLI11's
// own ranges let "nan" through, since every comparison with it is false, and they print their
// bounds with all their digits.
CLI::Validator FiniteNumber(double low, double high, bool lowOpen = false) {
    constexpr double kUnbounded = std::numeric_limits<double>::infinity();
    const std::string range = high == kUnbounded
                                  ? (lowOpen ? "more than " : "at least ") + Shortest(low)
                                  : "from " + Shortest(low) + " to " + Shortest(high);
    return CLI::Validator(
        [=](std::string& text) {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            if (text.empty() || end != text.c_str() + text.size()) {
                return "\"" + text + "\" is not a number";
            }
            if (!std::isfinite(value)) {
                return "\"" + text + "\" is not a finite number";
            }
            if (value < low || value > high || (lowOpen && value == low)) {
                return "Value " + text + " is not " + range;
            }
            return std::string();
        },
        "NUMBER " + range, "finite number");
}

const CLI::Validator kCommand(
    [](std::string& text) {
        return CommandCode(text) ? std::string()
                                 : "\"" + text +
                                       "\" is not ring, talk, hangup, disconnect, voice or a "
                                       "number from -32768 to 65535";
    },
    "ring|talk|hangup|disconnect|voice|N", "command");

const CLI::Validator kHex(
    [](std::string& text) {
        if (text.size() % 2 != 0) {
            return "odd number of hex digits (" + std::to_string(text.size()) + ")";
        }
        for (const char c : text) {
            if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
                return std::string("\"") + c + "\" is not a hex digit";
            }
        }
        if (text.size() / 2 > kLargestDatagram) {
            return "more than " + std::to_string(kLargestDatagram) + " bytes";
        }
        return std::string();
    },
    "HEX", "hex digits");

const CLI::Validator kMagic(
    [](std::string& text) {
        return text.size() == 4 ? std::string() : "\"" + text + "\" is not exactly 4 bytes";
    },
    "4 BYTES", "magic");

// One address, or for answer's phones a range of them: A.B.C.D-A.B.C.E.
const CLI::Validator kDottedRange(
    [](std::string& text) {
        const std::size_t dash = text.find('-');
        if (dash == std::string::npos) {
            return kDotted(text);
        }
        std::string first = text.substr(0, dash);
        std::string last = text.substr(dash + 1);
        const std::string wrong = kDotted(first).empty() ? kDotted(last) : kDotted(first);
        if (!wrong.empty()) {
            return "\"" + text + "\" is not an address or a range A.B.C.D-A.B.C.E: " + wrong;
        }
        if (ntohl(ParseDotted(first).s_addr) > ntohl(ParseDotted(last).s_addr)) {
            return "\"" + text + "\" holds no address: " + first + " comes after " + last;
        }
        return std::string();
    },
    "A.B.C.D[-A.B.C.E]", "dotted address or range");

void AddCommon(CLI::App& command, CommonOptions& options, bool withTarget = true,
               const CLI::Validator& bindCheck = kDotted) {
    command.add_option("--bind", options.bind, "Local address to bind")
        ->check(bindCheck)
        ->capture_default_str();
    command.add_option("--local-port", options.localPort, "Local UDP port (0: any free one)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    command
        .add_option("--receive-buffer", options.receiveBuffer,
                    "Socket receive buffer to ask for, in bytes (SO_RCVBUF)")
        ->check(CLI::Range(0, 1 << 30))
        ->capture_default_str();
    if (withTarget) {
        command.add_option("--target", options.target, "Target number put into requests and voice")
            ->check(kField)
            ->capture_default_str();
    }
    command
        .add_option("--pcap", options.pcap,
                    "Write every datagram sent and received to FILE as pcapng")
        ->type_name("FILE");
    command.add_option("--junit", options.junit, "Write the checks as JUnit XML to FILE")
        ->type_name("FILE");
    command.add_flag("--json", options.json, "One JSON object a line");
    command.add_flag("--quiet", options.quiet, "No line for each datagram, only the summary");
}

// The running figures, for the commands that run for a while.
void AddInterval(CLI::App& command, CommonOptions& options) {
    command
        .add_option_function<double>(
            "--interval", [&options](const double& seconds) { options.interval = seconds; },
            "Print the running figures every SECONDS on standard output")
        ->check(FiniteNumber(0, std::numeric_limits<double>::infinity(), true));
}

void AddExpectVoice(CLI::App& command, VoiceExpectation& expectation) {
    CLI::Option* file = command
                            .add_option("--expect-voice", expectation.file,
                                        "Hold the voice received against FILE, chunk by chunk")
                            ->type_name("FILE")
                            ->group("Voice check");
    command
        .add_option("--allow-missing", expectation.allowMissingPercent,
                    "Percent of the chunks that may be missing without failing the run")
        ->check(FiniteNumber(0, 100))
        ->needs(file)
        ->group("Voice check")
        ->capture_default_str();
}

void AddReportFile(CLI::App& command, std::string& report) {
    command
        .add_option("--report", report,
                    "Write an HTML report of the run to FILE at its end: the summary and pictures "
                    "of the voice spacing, the Seq, the replies and the steps")
        ->type_name("FILE");
}

void AddTimeout(CLI::App& command, int& timeoutMs) {
    command.add_option("--timeout", timeoutMs, "Milliseconds to wait for each reply")
        ->check(CLI::Range(1, 86'400'000))
        ->capture_default_str();
}

void AddImpairments(CLI::App& command, ImpairmentSettings& settings) {
    const auto percent = [&](const char* name, double& value, const char* help) {
        command.add_option(name, value, help)->check(FiniteNumber(0, 100))->group("Impairments");
    };
    percent("--drop", settings.dropPercent, "Percent of the outgoing voice chunks left unsent");
    percent("--duplicate", settings.duplicatePercent, "Percent of the voice chunks sent twice");
    percent("--reorder", settings.reorderPercent,
            "Percent of the voice chunks held back and sent after the next one");
    command
        .add_option("--jitter", settings.jitterMs,
                    "Send each voice chunk from 0 to MS milliseconds after its time")
        ->check(FiniteNumber(0, 60'000))
        ->group("Impairments");
    command.add_option("--seed", settings.seed, "Seed of the impairments, to repeat a run")
        ->group("Impairments");
}

CLI::App* AddReport(CLI::App& app, ReportOptions& options) {
    CLI::App* command = app.add_subcommand(
        "report", "Read a capture (pcap or pcapng) and give each call's figures");
    command->footer(
        "Exit codes: 0 read, 1 no conversation of the protocol found, 2 a file that cannot be "
        "read or is damaged.");
    command->add_option("CAPTURE", options.capture, "The capture file")->required();
    command
        ->add_option("--conversation", options.conversation,
                     "Only the conversation between these two ends, in either order")
        ->type_name("A:P-B:P")
        ->check(CLI::Validator(
            [](std::string& text) {
                const std::size_t dash = text.find('-');
                return dash != std::string::npos && ParseEndpoint(text.substr(0, dash), true) &&
                               ParseEndpoint(text.substr(dash + 1), true)
                           ? std::string()
                           : "\"" + text + "\" is not two ends A.B.C.D:PORT joined by -";
            },
            "", "conversation"));
    command
        ->add_option("--local", options.local,
                     "This end, whose datagrams count as sent (default: the first requester)")
        ->type_name("A[:P]")
        ->check(CLI::Validator(
            [](std::string& text) {
                return ParseEndpoint(text, false)
                           ? std::string()
                           : "\"" + text + "\" is not A.B.C.D or A.B.C.D:PORT";
            },
            "", "end"));
    command->add_flag("--json", options.json, "One JSON object a line");
    command
        ->add_option("-o,--output", options.output,
                     "Write an HTML report of every conversation reported to FILE")
        ->type_name("FILE");
    return command;
}

// CLI11 reads "--play=" as "--play" with its value still to come, so "--play= --record x" would
// play a file named "--record". Written with "=", an empty value is meant: the same as "--play ''".
std::vector<std::string> EmptyValuesApart(const CLI::App& app, int argc, const char* const* argv) {
    std::vector<std::string> arguments;
    bool positional = false;
    for (int i = 0; i < argc; ++i) {
        const std::string argument = argv[i];
        positional = positional || argument == "--";
        bool takesValue = false;
        if (!positional && i > 0 && argument.size() > 3 && argument.starts_with("--") &&
            argument.find('=') == argument.size() - 1) {
            const std::string name = argument.substr(0, argument.size() - 1);
            for (const CLI::App* command :
                 app.get_subcommands([](const CLI::App*) { return true; })) {
                const CLI::Option* option = command->get_option_no_throw(name);
                takesValue =
                    takesValue || (option != nullptr && option->get_items_expected_max() > 0);
            }
        }
        if (takesValue) {
            arguments.push_back(argument.substr(0, argument.size() - 1));
            arguments.emplace_back();
        } else {
            arguments.push_back(argument);
        }
    }
    return arguments;
}

// --phones, and what it cannot go with: checked as answer's options are parsed.
void AddPhones(CLI::App& command, AnswerOptions& answer) {
    CLI::Option* phones =
        command
            .add_option("--phones", answer.phones,
                        "Answer as N phones at once: on --local-port and the N-1 ports after it, "
                        "or one on --local-port at each address of a --bind range")
            ->check(CLI::Range(1, 65535))
            ->capture_default_str();
    command.callback([&answer, phones, &command] {
        const std::size_t dash = answer.bind.find('-');
        if (dash != std::string::npos) {
            answer.bindLast = answer.bind.substr(dash + 1);
            answer.bind.resize(dash);
            const std::uint32_t count = ntohl(ParseDotted(answer.bindLast).s_addr) -
                                        ntohl(ParseDotted(answer.bind).s_addr) + 1;
            if (count > 65535) {
                throw CLI::ValidationError("--bind", "a range of more than 65535 addresses");
            }
            if (phones->count() > 0 && static_cast<std::uint32_t>(answer.phones) != count) {
                throw CLI::ValidationError("--phones", std::to_string(answer.phones) +
                                                           " phones, but the --bind range holds " +
                                                           std::to_string(count) + " addresses");
            }
            answer.phones = static_cast<int>(count);
        } else if (answer.localPort != 0 && answer.localPort + answer.phones - 1 > 65535) {
            throw CLI::ValidationError(
                "--phones", std::to_string(answer.phones) + " phones from port " +
                                std::to_string(answer.localPort) + " need ports past 65535");
        }
        answer.receiveBufferGiven = command.get_option("--receive-buffer")->count() > 0;
        if (answer.phones == 1) {
            return;
        }
        // Each writes one stream of one call, where many phones have many.
        for (const char* single : {"--record", "--save"}) {
            if (command.get_option(single)->count() > 0) {
                throw CLI::ValidationError(single, "writes one call's stream: not with --phones");
            }
        }
        if (answer.impairments.Any()) {
            throw CLI::ValidationError("--phones", "the voice impairments take one phone only");
        }
    });
}

// "A-B" or "A" of whole numbers from `low` to `high`, not running backwards.
std::optional<NumberRange> NumbersFrom(const std::string& text, long low, long high) {
    const std::size_t dash = text.find('-', 1);
    const auto first = WholeNumber(text.substr(0, dash));
    const auto last = dash == std::string::npos ? first : WholeNumber(text.substr(dash + 1));
    if (!first || !last || *first < low || *last > high || *last < *first) {
        return std::nullopt;
    }
    return NumberRange{*first, *last};
}

std::optional<NumberRange> AddressesFrom(const std::string& text) {
    const std::size_t dash = text.find('-');
    const std::string first = text.substr(0, dash);
    const std::string last = dash == std::string::npos ? first : text.substr(dash + 1);
    if (!IsDottedAddress(first) || !IsDottedAddress(last)) {
        return std::nullopt;
    }
    const std::int64_t a = ntohl(ParseDotted(first).s_addr);
    const std::int64_t b = ntohl(ParseDotted(last).s_addr);
    return b < a ? std::nullopt : std::optional<NumberRange>(NumberRange{a, b});
}

CLI::Validator RangeOf(std::function<std::optional<NumberRange>(const std::string&)> parse,
                       const std::string& what) {
    return CLI::Validator(
        [=](std::string& text) {
            return parse(text) ? std::string()
                               : "\"" + text + "\" is not " + what +
                                     " (A-B, not running backwards, or a single one)";
        },
        "A-B", "range");
}

std::string HostHelp() {
    return "The other endpoint: a name or address, optionally :PORT (default 20080)";
}

}  // namespace

std::optional<std::int16_t> CommandCode(const std::string& text) {
    static const std::pair<const char*, phone::Command> kNames[] = {
        {"ring", phone::CmdRing},
        {"talk", phone::CmdTalk},
        {"hangup", phone::CmdHangUp},
        {"disconnect", phone::CmdDisconnect},
        {"voice", phone::CmdVoice}};
    for (const auto& [name, code] : kNames) {
        if (text == name) {
            return code;
        }
    }
    const auto value = WholeNumber(text);
    if (value && FitsField(*value)) {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(*value));
    }
    return std::nullopt;
}

Parsed ParseCommandLine(int argc, const char* const* argv) {
    CLI::App app(
        "udpphone-peer: a headless endpoint of the udpphone protocol for scripts and CI.\n"
        "Exit codes: 0 pass, 1 fail, 2 bad usage or a file, name or socket that cannot be used.",
        "udpphone-peer");
    app.require_subcommand(1);

    AnswerOptions answer;
    CLI::App* answerCommand =
        app.add_subcommand("answer", "Listen and answer calls by the window's rules");
    AddCommon(*answerCommand, answer, true, kDottedRange);
    answerCommand->get_option("--bind")->description(
        "Local address to bind, or a range A.B.C.D-A.B.C.E with a phone at each (--phones)");
    answerCommand
        ->add_option("--peer-port", answer.peerPort, "Port the replies and voice are sent to")
        ->check(CLI::Range(1, 65535))
        ->capture_default_str();
    answerCommand->add_option("--peer", answer.peer, "Peer address remembered from the start")
        ->check(kDotted);
    answerCommand->add_flag("--reply-to-sender", answer.replyToSender,
                            "Send every reply to the sender's own address and port");
    answerCommand->add_option("--record", answer.record,
                              "File the incoming voice is written to (created or truncated)");
    answerCommand->add_option("--play", answer.play, "File streamed back while talking");
    std::string until;
    answerCommand->add_option("--until", until, "End at the first accepted Disconnect or HangUp")
        ->check(CLI::IsMember({"disconnect"}));
    std::uint64_t count = 0;
    CLI::Option* countOption = answerCommand->add_option("--count", count, "End after N requests")
                                   ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{1} << 62));
    double duration = 0;
    CLI::Option* durationOption =
        answerCommand->add_option("--duration", duration, "End after SECONDS")
            ->check(FiniteNumber(0, std::numeric_limits<double>::infinity(), true));

    AddImpairments(*answerCommand, answer.impairments);
    AddExpectVoice(*answerCommand, answer.expectVoice);
    AddInterval(*answerCommand, answer);
    answerCommand
        ->add_option("--save", answer.save,
                     "Write the caller's side of what happened as a scenario to FILE")
        ->type_name("FILE");
    AddReportFile(*answerCommand, answer.report);
    AddPhones(*answerCommand, answer);

    CallOptions call;
    CLI::App* callCommand =
        app.add_subcommand("call", "Ring, Talk, stream a file, record the reply voice, Disconnect");
    AddCommon(*callCommand, call);
    callCommand->add_option("HOST", call.host, HostHelp())->required();
    callCommand->add_option("--play", call.play, "File streamed as voice while talking");
    callCommand->add_option("--record", call.record,
                            "File the incoming voice is written to (created or truncated)");
    double talkSeconds = 0;
    CLI::Option* talkOption =
        callCommand
            ->add_option("--talk-seconds", talkSeconds,
                         "Seconds to stay talking (default: until the --play file ends)")
            ->check(FiniteNumber(0, std::numeric_limits<double>::infinity()));
    AddTimeout(*callCommand, call.timeoutMs);
    callCommand->add_option("--expect-status", call.expectStatus, "Status every reply must carry")
        ->check(kField)
        ->capture_default_str();
    AddImpairments(*callCommand, call.impairments);
    AddExpectVoice(*callCommand, call.expectVoice);
    AddInterval(*callCommand, call);
    callCommand
        ->add_option("--save", call.save,
                     "Write what was sent and what came back as a scenario to FILE")
        ->type_name("FILE");
    AddReportFile(*callCommand, call.report);

    SendOptions send;
    CLI::App* sendCommand =
        app.add_subcommand("send", "Send one datagram, built from flags or given as hex");
    AddCommon(*sendCommand, send);
    sendCommand->add_option("HOST", send.host, HostHelp())->required();
    std::vector<CLI::Option*> fields;
    fields.push_back(sendCommand->add_option("--command", send.command, "Command")
                         ->check(kCommand)
                         ->capture_default_str());
    fields.push_back(sendCommand->add_option("--status", send.status, "Status word")
                         ->check(kField)
                         ->capture_default_str());
    fields.push_back(sendCommand->add_option("--seq", send.seq, "Seq word")
                         ->check(kField)
                         ->capture_default_str());
    std::int32_t length = 0;
    CLI::Option* lengthOption =
        sendCommand->add_option("--length", length, "Length word (default: the payload's size)")
            ->check(kField);
    fields.push_back(lengthOption);
    fields.push_back(
        sendCommand
            ->add_option("--payload-file", send.payloadFile, "Bytes placed from offset 14 on")
            ->check(CLI::ExistingFile));
    int size = 0;
    CLI::Option* sizeOption =
        sendCommand->add_option("--size", size, "Pad with zeros or cut to this many bytes")
            ->check(CLI::Range(0, static_cast<int>(kLargestDatagram)));
    fields.push_back(sizeOption);
    fields.push_back(sendCommand->add_option("--magic", send.magic, "The first 4 bytes")
                         ->check(kMagic)
                         ->capture_default_str());
    std::string hex;
    CLI::Option* hexOption =
        sendCommand->add_option("--hex", hex, "The whole datagram, as hex digits")->check(kHex);
    fields.push_back(sendCommand->get_option("--target"));
    for (CLI::Option* field : fields) {
        hexOption->excludes(field);
    }
    AddTimeout(*sendCommand, send.timeoutMs);
    std::string sendExpect = "1";
    sendCommand
        ->add_option("--expect-status", sendExpect,
                     "Status the reply must carry, or none: no reply may come")
        ->check(CLI::Validator(
            [](std::string& text) {
                return text == "none" || kField(text).empty()
                           ? std::string()
                           : "\"" + text + "\" is neither none nor a number from -32768 to 65535";
            },
            "N|none", "expected status"))
        ->capture_default_str();

    LoadOptions load;
    CLI::App* loadCommand =
        app.add_subcommand("load", "Send Ring requests or voice at a rate, count the replies");
    AddCommon(*loadCommand, load);
    loadCommand->add_option("HOST", load.host, HostHelp())->required();
    std::string kind = "ring";
    loadCommand->add_option("--kind", kind, "What to send")
        ->check(CLI::IsMember({"ring", "voice"}))
        ->capture_default_str();
    loadCommand->add_option("--rate", load.rate, "Datagrams per second")
        ->check(FiniteNumber(1, 10'000'000))
        ->capture_default_str();
    loadCommand->add_option("--duration", load.duration, "Seconds of sending")
        ->check(FiniteNumber(0.001, 86'400))
        ->capture_default_str();
    loadCommand
        ->add_option("--min-answered", load.minAnswered,
                     "Percent of the requests that must be answered to pass")
        ->check(FiniteNumber(0, 100))
        ->capture_default_str();
    AddTimeout(*loadCommand, load.timeoutMs);
    AddInterval(*loadCommand, load);
    AddReportFile(*loadCommand, load.report);

    ScenarioOptions scenario;
    CLI::App* runCommand =
        app.add_subcommand("run", "Play a scenario against an endpoint, step by step");
    AddCommon(*runCommand, scenario);
    runCommand->add_option("SCENARIO", scenario.scenario, "The scenario file")->required();
    runCommand->add_option("HOST", scenario.host, HostHelp())->required();
    runCommand->add_flag("--strict", scenario.strict,
                         "Fail when a datagram comes that no expectation takes");
    AddImpairments(*runCommand, scenario.impairments);
    AddExpectVoice(*runCommand, scenario.expectVoice);
    AddInterval(*runCommand, scenario);
    AddReportFile(*runCommand, scenario.report);

    CallsOptions calls;
    CLI::App* callsCommand = app.add_subcommand(
        "calls", "Place many calls at once, each from its own socket, and judge every one");
    callsCommand
        ->add_option("HOST", calls.host,
                     "The phones: a name or address, optionally :PORT or :PORT-PORT2 (one phone "
                     "a port, dialled in turn; default 20080)")
        ->required();
    std::uint64_t callCount = 0;
    CLI::Option* callsCount = callsCommand->add_option("--calls", callCount, "Calls in all")
                                  ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{1} << 40));
    double callsDuration = 0;
    CLI::Option* callsDurationOption =
        callsCommand->add_option("--duration", callsDuration, "Seconds in which calls are started")
            ->check(FiniteNumber(0, std::numeric_limits<double>::infinity(), true));
    callsCommand->add_option("--concurrent", calls.concurrent, "Calls up at once at most")
        ->check(CLI::Range(1u, 1'000'000u))
        ->capture_default_str();
    callsCommand->add_option("--rate", calls.rate, "New calls started a second")
        ->check(FiniteNumber(0, 1'000'000, true))
        ->capture_default_str();
    callsCommand
        ->add_option("--talk-seconds", calls.talkSeconds,
                     "Seconds each call stays talking after its Talk is accepted")
        ->check(FiniteNumber(0, 86'400))
        ->capture_default_str();
    callsCommand->add_option("--play", calls.play,
                             "File each call streams as voice from its start (none: no voice)");
    AddTimeout(*callsCommand, calls.timeoutMs);
    AddExpectVoice(*callsCommand, calls.expectVoice);
    std::string localPorts, bindRange, targets = "1";
    callsCommand
        ->add_option("--local-ports", localPorts,
                     "Local ports the calls take, one a call (default: any free ones)")
        ->check(RangeOf([](const std::string& t) { return NumbersFrom(t, 1, 65535); },
                        "a port range within 1-65535"));
    callsCommand->add_option("--bind", bindRange, "Local addresses the calls leave from, in turn")
        ->check(kDottedRange);
    callsCommand->add_option("--targets", targets, "Target numbers the calls dial, in turn")
        ->check(RangeOf([](const std::string& t) { return NumbersFrom(t, -32768, 65535); },
                        "a range of numbers within -32768-65535"))
        ->capture_default_str();
    callsCommand
        ->add_option("--receive-buffer", calls.receiveBuffer,
                     "Receive buffer of each call's socket, in bytes (SO_RCVBUF)")
        ->check(CLI::Range(0, 1 << 30));
    calls.receiveBuffer = 256 << 10;
    callsCommand
        ->add_option("--junit", calls.junit, "Write a test case per call as JUnit XML to FILE")
        ->type_name("FILE");
    callsCommand->add_flag("--json", calls.json, "One JSON object a line");
    callsCommand->add_flag("--quiet", calls.quiet, "No line for each call, only the summary");
    AddInterval(*callsCommand, calls);
    AddReportFile(*callsCommand, calls.report);

    ReportOptions report;
    CLI::App* reportCommand = AddReport(app, report);

    // What the report says was run: the arguments as given, quoted for a shell.
    const std::string commandLine =
        ShellQuoted(std::span<const char* const>(argv, static_cast<std::size_t>(argc)));
    answer.commandLine = call.commandLine = send.commandLine = load.commandLine =
        calls.commandLine = scenario.commandLine = report.commandLine = commandLine;

    Parsed parsed;
    const std::vector<std::string> arguments = EmptyValuesApart(app, argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments) {
        pointers.push_back(argument.c_str());
    }
    try {
        app.parse(static_cast<int>(pointers.size()), pointers.data());
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        parsed.exitCode = code == 0 ? 0 : 2;
        return parsed;
    }

    answer.commandName = "answer";
    answer.subject = (answer.bindLast.empty() ? answer.bind : answer.bind + "-" + answer.bindLast) +
                     ":" + std::to_string(answer.localPort);
    call.commandName = "call";
    call.subject = call.host;
    send.commandName = "send";
    send.subject = send.host;
    load.commandName = "load";
    load.subject = load.host;
    scenario.commandName = "run";
    scenario.subject = scenario.scenario + " " + scenario.host;
    if (answerCommand->parsed()) {
        answer.untilDisconnect = !until.empty();
        if (countOption->count() > 0) {
            answer.count = count;
        }
        if (durationOption->count() > 0) {
            answer.duration = duration;
        }
        parsed.invocation = answer;
    } else if (callCommand->parsed()) {
        if (talkOption->count() > 0) {
            call.talkSeconds = talkSeconds;
        }
        parsed.invocation = call;
    } else if (sendCommand->parsed()) {
        if (lengthOption->count() > 0) {
            send.length = length;
        }
        if (sizeOption->count() > 0) {
            send.size = size;
        }
        if (hexOption->count() > 0) {
            send.hex = hex;
        }
        send.expectStatus = sendExpect == "none"
                                ? std::nullopt
                                : std::optional<std::int32_t>(std::stoi(sendExpect));
        parsed.invocation = send;
    } else if (loadCommand->parsed()) {
        load.voice = kind == "voice";
        parsed.invocation = load;
    } else if (callsCommand->parsed()) {
        calls.commandName = "calls";
        calls.subject = calls.host;
        if (callsCount->count() > 0) {
            calls.calls = callCount;
        }
        if (callsDurationOption->count() > 0) {
            calls.duration = callsDuration;
        }
        if (!localPorts.empty()) {
            calls.localPorts = NumbersFrom(localPorts, 1, 65535);
        }
        if (!bindRange.empty()) {
            calls.bindAddresses = AddressesFrom(bindRange);
        }
        calls.targets = *NumbersFrom(targets, -32768, 65535);
        const char* wrong = nullptr;
        if (!calls.calls && !calls.duration) {
            wrong = "one of --calls and --duration must end the run";
        } else if (calls.localPorts && calls.localPorts->Size() < calls.concurrent) {
            wrong = "--local-ports holds fewer ports than --concurrent calls need";
        }
        if (wrong != nullptr) {
            std::fprintf(stderr, "udpphone-peer calls: %s\n", wrong);
            parsed.exitCode = 2;
            return parsed;
        }
        parsed.invocation = calls;
    } else if (reportCommand->parsed()) {
        parsed.invocation = report;
    } else {
        parsed.invocation = scenario;
    }
    return parsed;
}

}  // namespace peer
