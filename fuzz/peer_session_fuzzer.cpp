// An answering session of udpphone-peer fed any sequence of datagrams (0 to 2100 bytes each, from
// four senders on loopback), as its event loop feeds it, with --save and the figures on. Nothing
// may crash; the summary's counts add up to what was fed; every request is answered; and the
// saved scenario parses, with a send step or a stream chunk for every datagram fed.
//
// An input is a sequence of records: a sender byte, a pause byte, two bytes of size (little
// endian, taken modulo 2101), then the datagram (cut short where the input ends).

#include <arpa/inet.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "peer/Addresses.h"
#include "peer/DatagramLook.h"
#include "peer/PeerError.h"
#include "peer/figures/Figures.h"
#include "peer/figures/Report.h"
#include "peer/scenario/Scenario.h"
#include "peer/scenario/ScenarioSave.h"
#include "peer/session/Session.h"
#include "peer/session/Signals.h"
#include "peer/session/Wire.h"

namespace {

[[noreturn]] void Broken(const std::string& what) {
    std::fprintf(stderr, "peer_session_fuzzer: %s\n", what.c_str());
    std::abort();
}

const std::filesystem::path& Folder() {
    static const std::filesystem::path folder = [] {
        char name[] = "/tmp/peer_session_fuzzer.XXXXXX";
        if (::mkdtemp(name) == nullptr) {
            Broken("cannot make a folder");
        }
        return std::filesystem::path(name);
    }();
    return folder;
}

peer::SignalWatch& Signals() {
    // The session wants one; libFuzzer keeps its own SIGINT, so nothing stays blocked.
    static peer::SignalWatch* signals = [] {
        auto* watch = new peer::SignalWatch;
        sigset_t set;
        ::sigemptyset(&set);
        ::sigaddset(&set, SIGINT);
        ::sigaddset(&set, SIGTERM);
        ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
        return watch;
    }();
    return *signals;
}

struct Fed {
    std::vector<std::uint8_t> bytes;
    std::uint8_t sender = 0;
    double pause = 0;  // seconds before it
};

std::vector<Fed> Records(const std::uint8_t* data, std::size_t size) {
    std::vector<Fed> fed;
    std::size_t at = 0;
    while (at + 4 <= size) {
        Fed one;
        one.sender = data[at];
        // Mostly milliseconds; now and then up to a day and a half, longer than a wait step may be.
        const int pause = data[at + 1];
        one.pause =
            pause < 200 ? pause / 1000.0 : std::ldexp(1.0, std::min(pause - 200, 27)) / 1000.0;
        const std::size_t length = (data[at + 2] | data[at + 3] << 8) % 2101;
        at += 4;
        const std::size_t taken = std::min(length, size - at);
        one.bytes.assign(data + at, data + at + taken);
        at += taken;
        fed.push_back(std::move(one));
    }
    return fed;
}

std::uint64_t Number(const nlohmann::ordered_json& value) {
    return value.get<std::uint64_t>();
}

void CheckSummary(const nlohmann::ordered_json& summary, std::uint64_t fed,
                  std::uint64_t sendErrors) {
    std::uint64_t ignored = 0;
    for (const auto& [reason, count] : summary["ignored_received"].items()) {
        ignored += Number(count);
    }
    const std::uint64_t requests = Number(summary["requests_received"]);
    if (Number(summary["datagrams_received"]) != fed ||
        requests + Number(summary["replies_received"]) + Number(summary["voice_received"]) +
                ignored !=
            fed) {
        Broken("the received counts do not add up to " + std::to_string(fed) + ": " +
               summary.dump());
    }
    if (sendErrors == 0 && Number(summary["replies_sent"]) != requests) {
        Broken("not every request was answered: " + summary.dump());
    }
    // Each call's counts are the totals' share since its Ring.
    std::uint64_t received = 0, seqDuplicates = 0, seqGaps = 0, replies = 0;
    for (const auto& call : summary["calls"]) {
        received += Number(call["datagrams_received"]);
        replies += Number(call["replies_sent"]);
        seqDuplicates += Number(call["seq_duplicates"]);
        seqGaps += Number(call["seq_gaps"]);
    }
    if (received > fed || replies > Number(summary["replies_sent"]) ||
        seqDuplicates > Number(summary["seq_duplicates"]) ||
        seqGaps > Number(summary["seq_gaps"]) ||
        summary["calls"].size() !=
            std::min<std::uint64_t>(Number(summary["calls_total"]), peer::Figures::kListedCalls)) {
        Broken("the calls do not add up to the totals: " + summary.dump());
    }
}

void CheckSaved(const std::string& path, std::uint64_t fed) {
    try {
        const peer::Scenario scenario = peer::ParseScenario(path);
        // Every datagram fed is the caller's step, or another sender's with from=.
        std::uint64_t sent = 0;
        for (const peer::ScenarioStep& step : scenario.steps) {
            if (step.type == peer::ScenarioStep::Type::Send) {
                ++sent;
            } else if (step.type == peer::ScenarioStep::Type::Stream) {
                sent += step.chunks.value_or(0);
            }
        }
        if (sent != fed) {
            Broken("the scenario sends " + std::to_string(sent) + " datagrams of " +
                   std::to_string(fed));
        }
    } catch (const peer::UsageError& error) {
        if (fed > 0) {
            Broken(std::string("the saved scenario does not parse: ") + error.what());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<Fed> fed = Records(data, size);
    const std::string saved = (Folder() / "saved.scenario").string();
    {
        peer::Wire wire(peer::ParseDotted("127.0.0.1"), 0, 0);
        peer::Figures figures;
        peer::Report report({true, true});
        peer::ScenarioRecorder recorder(peer::ScenarioRecorder::Setup{
            saved, false, std::nullopt, "", 1000, "peer_session_fuzzer", 0});
        wire.AddTap(figures);
        wire.AddTap(report);
        wire.AddTap(recorder);
        peer::SessionSettings settings;
        settings.peerPort = 9;  // discard: nothing listens in the namespace
        settings.replyToSender = size > 0 && (data[0] & 0x80) != 0;
        peer::Session session(wire, report, figures, Signals(), settings);

        std::array<std::uint8_t, 2048> window{};
        double t = 0;
        for (const Fed& one : fed) {
            t += one.pause;
            peer::DatagramEvent event;
            event.t = t;
            event.stamp = 1.0e9 + t;
            event.peer = peer::MakeEndpoint(
                peer::ParseDotted("127.0.0." + std::to_string(2 + one.sender % 4)),
                static_cast<std::uint16_t>(20080 + one.sender / 4 % 2));
            event.local = event.answerFrom = peer::ParseDotted("127.0.0.1");
            event.localPort = ntohs(wire.Bound().sin_port);
            event.bytes = one.bytes;
            if (one.bytes.size() <= window.size()) {
                // The window's buffer: the datagram, zeros after it.
                window.fill(0);
                std::copy(one.bytes.begin(), one.bytes.end(), window.begin());
                event.windowBuffer = window.data();
            }
            event.look = peer::LookAt(event.bytes);
            wire.Deliver(event, [&](const peer::DatagramEvent& each) { session.Take(each); });
            wire.Flush();
        }
        session.Settle();
        if (const auto fault = recorder.Finish()) {
            Broken("--save failed: " + *fault);
        }
        nlohmann::ordered_json summary = figures.Summary();
        summary["calls_total"] = figures.CallCount();
        summary["calls"] = figures.Calls();
        CheckSummary(summary, fed.size(), wire.SendErrors());
    }
    CheckSaved(saved, fed.size());
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(Folder(), ignored)) {
        std::filesystem::remove(entry.path(), ignored);
    }
    return 0;
}
