#include "support/ReportSamples.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <set>

#include "peer/Addresses.h"
#include "peer/figures/Figures.h"
#include "peer/report/ReportCollector.h"
#include "phone/PhoneDatagram.h"

namespace testsupport {
namespace {

constexpr double kStart = 1'765'000'000.25;  // real-time seconds of the run's start
constexpr double kPeriod = 0.047;

struct Planned {
    double t = 0;
    bool outgoing = false;
    bool voice = false;
    std::uint16_t seq = 0;
    phone::Command command = phone::CmdRing;
    bool reply = false;
};

// Hands planned datagrams, in time order, to the taps as a wire would.
void Feed(std::vector<Planned>& planned, std::initializer_list<peer::DatagramTap*> taps) {
    std::stable_sort(planned.begin(), planned.end(),
                     [](const Planned& a, const Planned& b) { return a.t < b.t; });
    std::array<std::uint8_t, phone::kVoiceSize> bytes{};
    for (const Planned& each : planned) {
        std::span<const std::uint8_t> datagram;
        if (each.voice) {
            phone::BuildVoiceHeader(bytes, each.seq, 1,
                                    static_cast<std::int16_t>(phone::kVoicePayloadSize));
            datagram = bytes;
        } else {
            auto request = std::span(bytes).first<phone::kRequestSize>();
            phone::BuildRequest(request, each.command, each.seq, 1);
            if (each.reply) {
                phone::SetStatus(request, phone::StatusAccepted);
            }
            datagram = request;
        }
        peer::DatagramEvent event;
        event.outgoing = each.outgoing;
        event.t = each.t;
        event.stamp = kStart + each.t;
        event.peer = peer::MakeEndpoint(peer::ParseDotted("127.0.0.2"), 20080);
        event.local = peer::ParseDotted("127.0.0.3");
        event.localPort = 20080;
        event.bytes = datagram;
        event.look = peer::LookAt(datagram);
        for (peer::DatagramTap* tap : taps) {
            tap->OnDatagram(event);
        }
    }
}

void Head(peer::ReportData& data, const std::string& commandLine, double seconds,
          const nlohmann::ordered_json& summary) {
    data.head.commandLine = commandLine;
    data.head.local = "127.0.0.3:20080";
    data.head.peer = "127.0.0.2:20080";
    data.head.startedAt = kStart;
    data.head.lengthSeconds = seconds;
    data.head.TakeSummary(summary);
}

}  // namespace

peer::ReportData MakeCall(const SampleCall& sample) {
    peer::ReportCollector collector;
    peer::Figures figures;
    std::mt19937_64 random(sample.seed);
    std::normal_distribution<double> jitter(0, 0.00012);
    std::uniform_real_distribution<double> lateness(0.00001, 0.00009);
    std::vector<Planned> planned;

    // Ring and Talk, each answered; the Disconnect at the end.
    struct Exchange {
        phone::Command command;
        const char* name;
        double at, latency;
    };
    // Voice from 2 ms on, every slot that fits: an hour holds 76,596.
    const auto slots = static_cast<std::uint64_t>((sample.seconds - 0.004) / kPeriod) + 1;
    const double voiceEnd = 0.002 + static_cast<double>(slots - 1) * kPeriod;
    const Exchange exchanges[] = {{phone::CmdRing, "Ring", 0.0, 0.00021},
                                  {phone::CmdTalk, "Talk", 0.001, 0.00018},
                                  {phone::CmdDisconnect, "Disconnect", voiceEnd + 0.001, 0.00025}};
    std::int32_t nextSeq = 1;
    for (const Exchange& exchange : exchanges) {
        const std::uint16_t seq = phone::TakeRequestSeq(nextSeq);
        planned.push_back({exchange.at, true, false, seq, exchange.command, false});
        planned.push_back(
            {exchange.at + exchange.latency, false, false, seq, exchange.command, true});
        collector.AddReply({exchange.at, exchange.name, phone::StatusAccepted, exchange.latency});
        figures.AddReplyLatency(exchange.latency);
        figures.CountAnswered();
    }

    // This side's voice: every 47 ms from its deadline; a stall skips three slots, a spike
    // holds back one slot and the schedule after it.
    std::set<std::uint64_t> stalled;
    for (const double stall : sample.stalls) {
        const auto first = static_cast<std::uint64_t>(std::ceil((stall - 0.002) / kPeriod));
        stalled.insert({first, first + 1, first + 2});
        collector.AddMark(peer::MarkKind::Stall, stall);
    }
    std::int32_t voiceSeq = 3;
    const std::uint64_t spikeSlot = slots / 2;
    for (std::uint64_t slot = 0; slot < slots; ++slot) {
        if (stalled.count(slot) > 0) {
            continue;
        }
        double t = 0.002 + static_cast<double>(slot) * kPeriod + lateness(random);
        if (sample.spikeMs > 0 && slot >= spikeSlot) {
            t += sample.spikeMs / 1000 - kPeriod;
        }
        planned.push_back({t, true, true, phone::VoiceSeq(voiceSeq)});
        phone::AdvanceVoiceSeq(voiceSeq);
    }

    // The other side's voice, numbered on from its own requests, with what the line did to it.
    const auto has = [](const std::vector<std::uint64_t>& list, std::uint64_t index) {
        return std::find(list.begin(), list.end(), index) != list.end();
    };
    std::int32_t theirSeq = 1;
    struct Arriving {
        double t;
        std::uint16_t seq;
        std::uint64_t index;
    };
    std::vector<Arriving> arriving;
    for (std::uint64_t index = 0; index < slots; ++index) {
        const double t = 0.0025 + static_cast<double>(index) * kPeriod + 0.0003 + jitter(random);
        const std::uint16_t seq = phone::VoiceSeq(theirSeq);
        phone::AdvanceVoiceSeq(theirSeq);
        if (sample.voiceCheck && has(sample.corrupted, index)) {
            collector.AddMark(peer::MarkKind::Corrupted, t, seq);
        }
        if (has(sample.dropped, index)) {
            if (sample.voiceCheck) {
                collector.AddMark(peer::MarkKind::MissingChunk, t, seq);
            }
            continue;
        }
        arriving.push_back({t, seq, index});
        if (has(sample.duplicated, index)) {
            arriving.push_back({t + 0.00005, seq, index});
        }
    }
    for (std::size_t i = 0; i + 1 < arriving.size(); ++i) {
        // Held back behind the next: the two Seqs change places, the times stay.
        if (has(sample.reordered, arriving[i].index)) {
            std::swap(arriving[i].seq, arriving[i + 1].seq);
            ++i;
        }
    }
    for (const Arriving& each : arriving) {
        planned.push_back({each.t, false, true, each.seq});
    }
    Feed(planned, {&collector, &figures});
    figures.SetVoiceTiming(0.00008, sample.stalls.size());

    // A scenario whose second-to-last step fails.
    using Outcome = peer::StepRecord::Outcome;
    const double streamEnd = voiceEnd - 0.5;  // the last half second waits for voice
    collector.AddStep({3, "send ring", Outcome::Passed, 0, 0.0001, ""});
    collector.AddStep({4, "expect reply ring", Outcome::Passed, 0.0001, 0.0002, ""});
    collector.AddStep({5, "send talk", Outcome::Passed, 0.001, 0.0011, ""});
    collector.AddStep({6, "expect reply talk", Outcome::Passed, 0.0011, 0.0012, ""});
    collector.AddStep({7, "stream send.au", Outcome::Passed, 0.002, 0.0021, ""});
    collector.AddStep(
        {8, "wait " + std::to_string(streamEnd), Outcome::Passed, 0.0021, streamEnd, ""});
    collector.AddStep(
        {9, sample.failingStepText, Outcome::Failed, streamEnd, voiceEnd, sample.failingReason});
    collector.AddStep({10, "send disconnect", Outcome::NotReached, 0, 0, ""});

    nlohmann::ordered_json summary = figures.Summary();
    summary["impairments"] = {{"seed", nullptr}, {"chunks", slots}, {"dropped", 0},
                              {"duplicated", 0}, {"reordered", 0},  {"delayed", 0}};
    summary["verdict"] = "fail";
    summary["reasons"] = {"call.scenario:9: " + sample.failingStepText + ": " +
                          sample.failingReason};
    peer::ReportData data = std::move(collector.Data());
    data.voiceChecked = sample.voiceCheck;
    Head(data, sample.commandLine, sample.seconds, summary);
    return data;
}

peer::ReportData MakeLoad(double seconds, double rate) {
    peer::ReportCollector collector;
    peer::Figures figures;
    const auto total = static_cast<std::uint64_t>(std::llround(seconds * rate));
    const double interval = collector.Data().loadIntervalSeconds;
    std::vector<Planned> planned;
    std::vector<double> latencies;
    peer::LoadInterval current;
    auto close = [&] {
        std::sort(latencies.begin(), latencies.end());
        if (!latencies.empty()) {
            const std::size_t n = latencies.size();
            current.median = latencies[n / 2];
            current.p99 = latencies[static_cast<std::size_t>(std::ceil(0.99 * double(n))) - 1];
            current.largest = latencies.back();
        }
        collector.AddLoadInterval(current);
        latencies.clear();
    };
    std::int32_t nextSeq = 1;
    std::uint64_t intervals = 0;  // closed so far
    for (std::uint64_t i = 0; i < total; ++i) {
        const double t = static_cast<double>(i) / rate;
        const auto index =
            static_cast<std::uint64_t>(static_cast<double>(i) / rate / interval + 1e-9);
        while (index > intervals) {
            close();
            current = {static_cast<double>(++intervals) * interval, 0, 0, {}, {}, {}};
        }
        // Slower replies in the second half, as a device under load might answer.
        const double latency =
            0.00004 + 0.00001 * static_cast<double>(i % 7) + (t > seconds / 2 ? 0.0002 : 0);
        const std::uint16_t seq = phone::TakeRequestSeq(nextSeq);
        planned.push_back({t, true, false, seq, phone::CmdRing, false});
        planned.push_back({t + latency, false, false, seq, phone::CmdRing, true});
        figures.AddReplyLatency(latency);
        ++current.sent;
        ++current.replies;
        latencies.push_back(latency);
    }
    close();
    Feed(planned, {&collector, &figures});
    figures.CountAnswered(total);

    nlohmann::ordered_json summary = figures.Summary();
    summary["load"] = {{"kind", "ring"}, {"rate", rate},      {"planned", total},
                       {"sent", total},  {"answered", total}, {"answered_percent", 100.0}};
    summary["verdict"] = "pass";
    summary["reasons"] = nlohmann::ordered_json::array();
    peer::ReportData data = std::move(collector.Data());
    Head(data, "udpphone-peer load 127.0.0.2 --rate " + std::to_string(std::llround(rate)), seconds,
         summary);
    return data;
}

}  // namespace testsupport
