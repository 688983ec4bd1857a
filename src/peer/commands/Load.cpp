// load: Ring requests or voice at a steady rate, in batches of at most 1 ms worth, counting the
// replies and their latency.

#include <poll.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "peer/Addresses.h"
#include "peer/Clock.h"
#include "peer/Files.h"
#include "peer/commands/Subcommands.h"
#include "peer/figures/LatencyHistogram.h"
#include "peer/figures/LoadIntervals.h"
#include "peer/figures/Unexpected.h"

namespace peer {
namespace {

constexpr double kBatchSeconds = 0.001;

// Ring requests take Seq by the request rule from a counter starting at 1, so request i carries
// (i + 1) mod 65536: a reply names the latest request with its Seq. A reply later than 65,536
// requests would be taken for a newer one; at 100,000 a second that is 0.65 s.
class RingReplies {
  public:
    void Sent(std::uint64_t index, double stamp) {
        const std::uint16_t seq = SeqOf(index);
        stamps_[seq] = stamp;
        owner_[seq] = index;
        answered_[seq] = false;
        sent_ = index + 1;
    }
    // The latency of the request a reply answers; none for a repeat or an unknown Seq.
    std::optional<double> Reply(std::uint16_t seq, double stamp) {
        if (sent_ == 0 || owner_[seq] >= sent_ || SeqOf(owner_[seq]) != seq || answered_[seq]) {
            ++unmatched_;
            return std::nullopt;
        }
        answered_[seq] = true;
        ++answered_count_;
        return stamp - stamps_[seq];
    }
    std::uint64_t Answered() const { return answered_count_; }
    std::uint64_t Unmatched() const { return unmatched_; }

  private:
    static std::uint16_t SeqOf(std::uint64_t index) {
        return static_cast<std::uint16_t>((index + 1) & 0xFFFF);
    }
    std::vector<double> stamps_ = std::vector<double>(65536);
    std::vector<std::uint64_t> owner_ = std::vector<std::uint64_t>(65536, UINT64_MAX);
    std::vector<bool> answered_ = std::vector<bool>(65536);
    std::uint64_t sent_ = 0;
    std::uint64_t answered_count_ = 0;
    std::uint64_t unmatched_ = 0;
};

}  // namespace

int RunLoad(const LoadOptions& options, SignalWatch& signals) {
    const HostAndPort host = SplitHostPort(options.host, 20080, "HOST");
    const FileUse uses[] = {{"--pcap", options.pcap, FileRole::Stream},
                            {"--junit", options.junit, FileRole::Document},
                            {"--report", options.report, FileRole::Document}};
    CheckFileUses(uses);
    const in_addr address = Resolve(host.host, signals);
    Run run(options, signals);
    // The latency in fixed-size histograms, whole and per 100 ms: memory does not grow with the
    // rate, as a sample of every request's would.
    LoadIntervals intervals;
    LatencyHistogram latency;
    Progress* const progress = run.ShowProgress(options.duration, !options.voice);
    const sockaddr_in to = MakeEndpoint(address, host.port);

    const auto total = std::max<std::uint64_t>(
        1, static_cast<std::uint64_t>(std::llround(options.rate * options.duration)));
    const auto batchLimit =
        std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(options.rate * kBatchSeconds)));
    const std::size_t size = options.voice ? phone::kVoiceSize : phone::kRequestSize;
    std::vector<std::uint8_t> storage(batchLimit * size);
    std::vector<Outgoing> batch(batchLimit);

    RingReplies replies;
    Unexpected strangers;
    auto take = [&](const DatagramEvent& event) {
        if (event.look.kind != Kind::Reply) {
            return;
        }
        if (!FromEndpoint(event, to)) {
            strangers.Add(event, "not from the peer");
        } else if (event.look.header.Command == phone::CmdRing) {
            if (const auto seconds = replies.Reply(event.look.header.Seq, event.stamp)) {
                latency.Add(*seconds);
                intervals.Replied(event.t, *seconds);
                if (progress != nullptr) {
                    progress->Live().Replied(event.t, *seconds);
                }
            }
        }
    };

    std::int32_t nextSeq = 1;
    std::uint64_t sent = 0;
    std::uint64_t batches = 0;
    double firstSend = 0, lastSend = 0;
    bool interrupted = false;
    const double start = MonotonicSeconds();
    double wake = start;
    while (sent < total) {
        // A slow rate sleeps long between batches; a signal still ends the run at once.
        const double until = progress != nullptr ? std::min(wake, progress->NextDue()) : wake;
        if (signals.Wait(until - MonotonicSeconds())) {
            interrupted = true;
            break;
        }
        const double now = MonotonicSeconds();
        if (progress != nullptr) {
            progress->Poll(now);
            if (now < wake) {
                continue;
            }
        }
        const auto due = std::min<std::uint64_t>(
            total, static_cast<std::uint64_t>(std::floor((now - start) * options.rate)) + 1);
        const std::size_t count = static_cast<std::size_t>(
            std::min<std::uint64_t>(due - std::min(due, sent), batchLimit));
        if (count > 0) {
            const double stamp = RealtimeSeconds();
            for (std::size_t i = 0; i < count; ++i) {
                auto datagram = std::span<std::uint8_t>(storage).subspan(i * size, size);
                if (options.voice) {
                    phone::BuildVoiceHeader(datagram.first<phone::kVoiceSize>(),
                                            phone::VoiceSeq(nextSeq), options.target,
                                            static_cast<std::int16_t>(phone::kVoicePayloadSize));
                    phone::AdvanceVoiceSeq(nextSeq);
                } else {
                    phone::BuildRequest(datagram.first<phone::kRequestSize>(), phone::CmdRing,
                                        phone::TakeRequestSeq(nextSeq), options.target);
                    replies.Sent(sent + i, stamp);
                }
                batch[i] = {to, datagram};
            }
            if (sent == 0) {
                firstSend = now;
            }
            lastSend = now;
            run.wire.Send(std::span<const Outgoing>(batch).first(count));
            sent += count;
            ++batches;
            if (!options.voice) {
                intervals.Sent(now - run.origin, count);
                if (progress != nullptr) {
                    progress->Live().RequestsSent(now - run.origin, count);
                }
            }
        }
        run.wire.Receive(take, 1u << 16);
        // The next batch when its first request is due, but not before 1 ms after this one:
        // behind schedule, batches follow at once until it is caught up.
        const double nextDue = start + static_cast<double>(sent) / options.rate;
        wake = sent < due ? now : std::max(nextDue, wake + kBatchSeconds);
    }
    const double sendingSeconds = MonotonicSeconds() - start;

    // The last replies, for at most the reply timeout.
    const double deadline = MonotonicSeconds() + options.timeoutMs / 1000.0;
    while (!options.voice && !interrupted && replies.Answered() < sent) {
        const double now = MonotonicSeconds();
        if (now >= deadline) {
            break;
        }
        pollfd watched[] = {{run.wire.Descriptor(), POLLIN, 0}, {signals.Descriptor(), POLLIN, 0}};
        const double until =
            progress != nullptr ? std::min(deadline, progress->NextDue()) : deadline;
        const timespec timeout = ToTimespec(std::max(0.0, until - now));
        ::ppoll(watched, 2, &timeout, nullptr);
        if (signals.Caught()) {
            interrupted = true;
        }
        run.wire.Receive(take, 1u << 16);
        if (progress != nullptr) {
            progress->Poll(MonotonicSeconds());
        }
    }
    intervals.Finish();
    run.figures.CountAnswered(replies.Answered());
    run.figures.SetSendErrors(run.wire.SendErrors());
    if (ReportCollector* collector = run.Collector()) {
        collector->AddLoadIntervals(intervals);
    }

    const double answeredPercent =
        sent == 0 ? 0 : 100.0 * static_cast<double>(replies.Answered()) / static_cast<double>(sent);
    Verdict verdict(options.commandName, options.subject);
    verdict.JudgeSignal(interrupted);
    verdict.Judge("sending", "send",
                  run.wire.SendErrors() == 0
                      ? std::vector<std::string>{}
                      : std::vector<std::string>{std::to_string(run.wire.SendErrors()) +
                                                 " datagrams could not be sent"});
    if (!options.voice) {
        char text[160];
        std::snprintf(text, sizeof text, "%.3f %% answered, at least %.3f %% wanted",
                      answeredPercent, options.minAnswered);
        verdict
            .Judge("answered share", "answered",
                   answeredPercent < options.minAnswered ? std::vector<std::string>{text}
                                                         : std::vector<std::string>{})
            .output = text;
    }
    nlohmann::ordered_json summary = run.figures.Summary();
    summary["reply_latency_ms"] = SpreadMs(latency);
    summary["load"] = {
        {"kind", options.voice ? "voice" : "ring"},
        {"rate", options.rate},
        {"planned", total},
        {"sent", sent},
        {"sending_seconds", std::round(sendingSeconds * 1e6) / 1e6},
        // Requests after the first over the time they took: the rate the schedule kept.
        {"achieved_rate", sent > 1 && lastSend > firstSend
                              ? std::round(static_cast<double>(sent - 1) / (lastSend - firstSend))
                              : 0.0},
        {"batches", batches},
        {"answered", options.voice ? nlohmann::ordered_json(nullptr)
                                   : nlohmann::ordered_json(replies.Answered())},
        {"answered_percent",
         options.voice ? nlohmann::ordered_json(nullptr)
                       : nlohmann::ordered_json(std::round(answeredPercent * 1000) / 1000)},
        {"unmatched_replies", replies.Unmatched()},
    };
    summary["unexpected"] = strangers.Count();
    summary["unexpected_datagrams"] = strangers.List();
    return run.Finish(summary, verdict);
}

}  // namespace peer
