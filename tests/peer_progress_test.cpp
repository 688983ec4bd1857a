// The running figures on a synthetic stream whose every event is known: the last second's
// figures against an exact count of the same events, the lines that show them, and when they
// are due, on a clock the test drives.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "peer/progress/ProgressPacer.h"
#include "peer/progress/ProgressTap.h"
#include "peer/progress/ProgressText.h"

using namespace peer;

namespace {

double Exact99(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const auto rank =
        static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(values.size())));
    return values[rank - 1];
}

// A call under load: voice in every 47 ms give or take 1 ms (number 200, at 9.4 s, late by
// 13 ms), a datagram out every 47 ms, a request a millisecond and a reply to all but every
// hundredth; a slow reply at 2 s, which must not show in a later second. No event falls on a
// tenth of a second, so which bucket holds it is never a matter of rounding.
struct Stream {
    LiveFigures figures{true};
    ProgressTap tap{figures};
    std::vector<std::pair<double, double>> spacings, latencies;  // (time, value)
    std::vector<std::pair<double, double>> requests, outgoing;   // (time, 1)

    // The events after `from` up to `to`, in time order within each kind.
    void Feed(double from, double to) {
        auto within = [&](double t) { return t > from && t <= to; };
        DatagramEvent event;
        event.look.kind = Kind::Voice;
        double stamp = 1000;
        for (int i = 1; i * 0.047 <= to; ++i) {
            const double spacing = i == 200 ? 0.060 : 0.047 + ((i * 7919) % 21 - 10) * 1e-4;
            stamp += spacing;
            if (within(i * 0.047)) {
                event.outgoing = true;
                event.t = i * 0.047;
                tap.OnDatagram(event);
                outgoing.emplace_back(event.t, 1);
            }
            if (within(i * 0.047 + 0.0005)) {
                event.outgoing = false;
                event.t = i * 0.047 + 0.0005;
                event.stamp = stamp;
                tap.OnDatagram(event);
                if (i > 1) {
                    spacings.emplace_back(event.t, spacing);
                }
            }
        }
        for (int ms = 0; ms / 1000.0 <= to; ++ms) {
            const double t = ms / 1000.0 + 0.0003;
            if (within(t)) {
                figures.RequestsSent(t, 1);
                requests.emplace_back(t, 1);
            }
            if (ms % 100 != 0 && within(t + 0.0002)) {
                const double latency = ms == 2000 ? 5.0 : 100e-6 + (ms % 97) * 10e-6;
                figures.Replied(t + 0.0002, latency);
                latencies.emplace_back(t + 0.0002, latency);
            }
        }
        figures.SetSeqEvents(3);
    }
};

std::vector<double> Between(const std::vector<std::pair<double, double>>& events, double from,
                            double to) {
    std::vector<double> values;
    for (const auto& [t, value] : events) {
        if (t > from && t <= to) {
            values.push_back(value);
        }
    }
    return values;
}

}  // namespace

TEST(LiveFiguresTest, TheLastSecondAndAnIntervalMatchAnExactCountOfTheSameEvents) {
    // At 9.47 s the window is the ten tenths from 8.5 s, the late voice datagram in it; the
    // interval runs from the previous take at 4 s.
    const double now = 9.47, windowStart = 8.5, intervalStart = 4.0;
    Stream stream;
    stream.Feed(-1, intervalStart);
    stream.figures.TakeInterval(intervalStart, std::nullopt);
    stream.Feed(intervalStart, now);
    const struct {
        const char* name;
        ProgressFigures figures;
        double from;
    } views[] = {
        {"last second", stream.figures.LastSecond(now, 20.0), windowStart},
        {"interval", stream.figures.TakeInterval(now, 20.0), intervalStart},
    };
    for (const auto& view : views) {
        const ProgressFigures& f = view.figures;
        SCOPED_TRACE(view.name);
        EXPECT_NEAR(f.span, now - view.from, 1e-9);
        EXPECT_EQ(f.elapsed, now);
        EXPECT_EQ(f.planned, 20.0);
        EXPECT_EQ(f.datagramsSent, stream.outgoing.size());
        EXPECT_EQ(f.datagramsReceived, stream.outgoing.size());
        EXPECT_EQ(f.seqEvents, 3u);
        EXPECT_EQ(f.sentInSpan, Between(stream.outgoing, view.from, now).size());

        const double spacing99 = Exact99(Between(stream.spacings, view.from, now));
        ASSERT_TRUE(f.voiceSpacingP99);
        EXPECT_NEAR(*f.voiceSpacingP99, spacing99,
                    spacing99 * LatencyHistogram::kRelativeResolution);

        const auto requests = Between(stream.requests, view.from, now).size();
        const auto replies = Between(stream.latencies, view.from, now);
        EXPECT_NEAR(f.requestRate, static_cast<double>(requests) / (now - view.from), 1e-6);
        ASSERT_TRUE(f.answeredShare);
        EXPECT_NEAR(*f.answeredShare,
                    static_cast<double>(replies.size()) / static_cast<double>(requests), 1e-12);
        const double latency99 = Exact99(replies);
        ASSERT_TRUE(f.latencyP99);
        EXPECT_NEAR(*f.latencyP99, latency99, latency99 * LatencyHistogram::kRelativeResolution);
    }
    // The late datagram is the last second's p99; the slow reply at 2 s is gone from it.
    EXPECT_NEAR(*views[0].figures.voiceSpacingP99, 0.060, 0.001);
    EXPECT_LT(*views[0].figures.latencyP99, 0.002);
    // Long after the stream: nothing in the window, the totals stay.
    const ProgressFigures quiet = stream.figures.LastSecond(30, std::nullopt);
    EXPECT_EQ(std::tuple(quiet.sentInSpan, quiet.requestRate, quiet.answeredShare.has_value(),
                         quiet.voiceSpacingP99.has_value(), quiet.datagramsSent),
              std::tuple(0u, 0.0, false, false, stream.outgoing.size()));
}

TEST(ProgressTextTest, TheStatusLineFitsTheTerminalAndIsRedrawnInPlace) {
    ProgressFigures f;
    f.elapsed = 12.4;
    f.planned = 60;
    f.datagramsSent = 263;
    f.datagramsReceived = 262;
    f.seqEvents = 2;
    f.voiceSpacingP99 = 0.047912;
    f.load = true;
    f.requestRate = 99999.6;
    f.answeredShare = 0.9995;
    f.latencyP99 = 0.00021;
    const std::string full =
        "12 s of 60 s (20 %)  sent 263  received 262  voice p99 47.912 ms  "
        "Seq events 2  100000 requests/s  answered 100.0 %  latency p99 0.210 ms";
    for (const std::size_t columns : {std::size_t{0}, std::size_t{40}, std::size_t{200}}) {
        const std::string line = StatusLine(f, columns);
        ASSERT_TRUE(line.starts_with("\r") && line.ends_with("\033[K")) << columns;
        const std::string text = line.substr(1, line.size() - 4);
        const std::size_t room = (columns == 0 ? 80 : columns) - 1;
        EXPECT_EQ(text, full.substr(0, room)) << columns;
    }
    EXPECT_EQ(ClearedStatusLine(), "\r\033[K");

    f.span = 5;
    f.sentInSpan = 106;
    f.voiceSpacingP99.reset();
    EXPECT_TRUE(
        IntervalText(f).starts_with("interval 7.400-12.400 s  sent 106  received 0  voice "
                                    "p99 -  Seq events 2  100000 requests/s"));
    const auto json = IntervalJson(f)["interval"];
    EXPECT_EQ(std::tuple(json["start"], json["end"], json["sent"], json["datagrams_sent"]),
              std::tuple(7.4, 12.4, 106, 263));
    EXPECT_EQ(
        std::tuple(json["voice_spacing_p99_ms"], json["answered_percent"], json["latency_p99_ms"]),
        std::tuple(nullptr, 99.95, 0.21));
}

TEST(ProgressPacerTest, DrawsOnlyWhenDueOnTheCallersClock) {
    constexpr double kNever = std::numeric_limits<double>::infinity();
    struct Look {
        double now;
        bool status, interval;
        double next;
    };
    const struct {
        const char* name;
        bool terminal;
        std::optional<double> interval;
        std::vector<Look> looks;
    } cases[] = {
        {"a pipe without --interval: never",
         false,
         std::nullopt,
         {{0, false, false, kNever}, {100, false, false, kNever}}},
        {"a terminal: from 2 s, at most once a second",
         true,
         std::nullopt,
         {{10.5, false, false, 12},
          {11.99, false, false, 12},
          {12.0, true, false, 13},
          {12.7, false, false, 13},
          {13.4, true, false, 14.4},  // late: the next a second after this one
          {20.0, true, false, 21}}},
        {"--interval 5 without a terminal: at fixed times, one after a stall",
         false,
         5.0,
         {{14.9, false, false, 15},
          {15.01, false, true, 20},
          {37.2, false, true, 40},
          {40, false, true, 45}}},
        {"both",
         true,
         1.5,
         {{11.5, false, true, 12}, {12.0, true, false, 13}, {13.1, true, true, 14.1}}},
        {"an interval that is no interval", false, 0.0, {{50, false, false, kNever}}},
    };
    for (const auto& c : cases) {
        ProgressPacer pacer(c.terminal, c.interval, 10);
        for (const Look& look : c.looks) {
            const auto due = pacer.Poll(look.now);
            EXPECT_EQ(std::tuple(due.status, due.interval), std::tuple(look.status, look.interval))
                << c.name << " at " << look.now;
            EXPECT_TRUE(pacer.NextDue() == look.next ||
                        std::abs(pacer.NextDue() - look.next) < 1e-9)
                << c.name << " at " << look.now << ": " << pacer.NextDue();
        }
        EXPECT_EQ(pacer.StatusShown(), c.terminal) << c.name;
    }
}
