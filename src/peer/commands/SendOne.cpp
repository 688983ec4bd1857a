// send: one datagram, built from flags or given whole, and the reply if one comes.

#include <poll.h>

#include <algorithm>

#include "peer/Addresses.h"
#include "peer/Clock.h"
#include "peer/DatagramLook.h"
#include "peer/Files.h"
#include "peer/PeerError.h"
#include "peer/commands/CommandLine.h"
#include "peer/commands/Subcommands.h"
#include "peer/figures/Unexpected.h"

namespace peer {
namespace {

std::vector<std::uint8_t> FromHex(const std::string& hex) {
    std::vector<std::uint8_t> bytes(hex.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    }
    return bytes;
}

std::uint16_t Bits(std::int32_t value) {
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(value));
}

}  // namespace

std::vector<std::uint8_t> BuildDatagram(const SendOptions& options) {
    if (options.hex) {
        return FromHex(*options.hex);
    }
    const std::int16_t command = *CommandCode(options.command);
    const std::vector<std::uint8_t> payload =
        options.payloadFile.empty()
            ? std::vector<std::uint8_t>()
            : ReadWhole(options.payloadFile, kLargestDatagram - phone::kOffsetPayload,
                        "--payload-file");
    // The protocol's own shapes unless told otherwise: 416 bytes for voice, 12 for the rest,
    // longer where the payload needs it.
    std::size_t size = command == phone::CmdVoice ? phone::kVoiceSize : phone::kRequestSize;
    if (!payload.empty() || options.length) {
        size = std::max(size, phone::kOffsetPayload + payload.size());
    }
    std::vector<std::uint8_t> bytes(size);
    std::copy(options.magic.begin(), options.magic.end(), bytes.begin());
    phone::WriteWord(bytes, phone::kOffsetSeq, Bits(options.seq));
    phone::WriteWord(bytes, phone::kOffsetTarget, Bits(options.target));
    phone::WriteWord(bytes, phone::kOffsetCommand, static_cast<std::uint16_t>(command));
    phone::WriteWord(bytes, phone::kOffsetStatus, Bits(options.status));
    phone::WriteWord(bytes, phone::kOffsetLength,
                     Bits(options.length.value_or(static_cast<std::int32_t>(payload.size()))));
    std::copy(payload.begin(), payload.end(),
              bytes.begin() + static_cast<std::ptrdiff_t>(phone::kOffsetPayload));
    if (options.size) {
        bytes.resize(static_cast<std::size_t>(*options.size));
    }
    return bytes;
}

int RunSend(const SendOptions& options, SignalWatch& signals) {
    const HostAndPort host = SplitHostPort(options.host, 20080, "HOST");
    const FileUse uses[] = {{"--pcap", options.pcap, FileRole::Stream},
                            {"--junit", options.junit, FileRole::Document}};
    CheckFileUses(uses);
    const in_addr address = Resolve(host.host, signals);
    const std::vector<std::uint8_t> datagram = BuildDatagram(options);
    Run run(options, signals);
    const sockaddr_in to = MakeEndpoint(address, host.port);

    const double sentStamp = RealtimeSeconds();
    if (!run.wire.Send(to, datagram)) {
        errno = run.wire.LastSendError();
        throw UsageError(SystemMessage("cannot send to " + EndpointText(to)));
    }
    // The first datagram from the host's address and port is taken for the reply; others are
    // only reported, and where nothing may come back they fail the run too.
    std::optional<DatagramEvent> reply;
    Unexpected strangers;
    std::vector<std::uint8_t> replyBytes;
    const double deadline = MonotonicSeconds() + options.timeoutMs / 1000.0;
    bool interrupted = false;
    while (!reply && (options.expectStatus || strangers.Count() == 0)) {
        const double now = MonotonicSeconds();
        if (now >= deadline) {
            break;
        }
        if (signals.Caught()) {
            interrupted = true;
            break;
        }
        pollfd watched[] = {{run.wire.Descriptor(), POLLIN, 0}, {signals.Descriptor(), POLLIN, 0}};
        const timespec timeout = ToTimespec(deadline - now);
        ::ppoll(watched, 2, &timeout, nullptr);
        run.wire.Receive([&](const DatagramEvent& event) {
            if (!FromEndpoint(event, to)) {
                strangers.Add(event, "not from the peer");
            } else if (!reply) {
                replyBytes.assign(event.bytes.begin(), event.bytes.end());
                reply = event;
                reply->bytes = replyBytes;
                reply->windowBuffer = nullptr;
            }
        });
    }

    // One check, the reply (or that none came), unless a signal cut it short.
    Verdict verdict(options.commandName, options.subject);
    const std::string check = options.expectStatus
                                  ? "reply with status " + std::to_string(*options.expectStatus)
                                  : std::string("no reply");
    std::vector<std::string> reasons;
    if (interrupted) {
        verdict.Skip(check, "reply", Interrupted().what());
    } else if (!options.expectStatus) {
        if (reply) {
            reasons.push_back(std::string("a ") + KindName(reply->look.kind) +
                              " came back where none was expected");
        } else if (strangers.Count() > 0) {
            // It cannot be told from the host's own answer sent from another address.
            reasons.push_back(strangers.Listed().front().second + ", where nothing was expected");
        }
    } else if (!reply) {
        std::string reason = "no reply within " + std::to_string(options.timeoutMs) + " ms on " +
                             EndpointText(run.wire.Bound());
        if (strangers.Count() > 0) {
            reason += "; " + strangers.Listed().front().second;
        }
        reasons.push_back(reason);
    } else if (reply->look.kind != Kind::Reply) {
        reasons.push_back(std::string("a ") + KindName(reply->look.kind) +
                          " came back, not a reply");
    } else if (reply->look.header.Status != static_cast<std::int16_t>(*options.expectStatus)) {
        reasons.push_back("reply with status " + std::to_string(reply->look.header.Status) +
                          ", expected " + std::to_string(*options.expectStatus));
    }
    if (!interrupted) {
        verdict.Judge(check, "reply", reasons,
                      reply ? reply->stamp - sentStamp : options.timeoutMs / 1000.0);
    }
    verdict.JudgeSignal(interrupted);
    if (reply && reply->look.kind == Kind::Reply) {
        run.figures.AddReplyLatency(reply->stamp - sentStamp);
        run.figures.CountAnswered();
    }
    run.figures.SetSendErrors(run.wire.SendErrors());
    nlohmann::ordered_json summary = run.figures.Summary();
    summary["reply"] = reply ? Report::Describe(*reply) : nlohmann::ordered_json(nullptr);
    summary["unexpected"] = strangers.Count();
    summary["unexpected_datagrams"] = strangers.List();
    return run.Finish(summary, verdict);
}

}  // namespace peer
