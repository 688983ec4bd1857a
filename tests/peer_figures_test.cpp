// The peer's own parts without a process: its socket takes every datagram size whole and sees it
// as the window does; its figures and its voice schedule on known inputs.

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "peer/Addresses.h"
#include "peer/figures/Figures.h"
#include "peer/session/VoiceStream.h"
#include "peer/session/Wire.h"
#include "phone/CallRules.h"
#include "support/UdpPeer.h"

using namespace peer;

namespace {

std::optional<DatagramEvent> ReceiveOne(Wire& wire, std::vector<std::uint8_t>& copy,
                                        std::vector<std::uint8_t>& windowCopy) {
    pollfd ready{wire.Descriptor(), POLLIN, 0};
    if (::poll(&ready, 1, 5000) != 1) {
        return std::nullopt;
    }
    std::optional<DatagramEvent> taken;
    wire.Receive(
        [&](const DatagramEvent& event) {
            taken = event;
            copy.assign(event.bytes.begin(), event.bytes.end());
            windowCopy.clear();
            if (event.windowBuffer != nullptr) {
                const auto voice =
                    phone::VoiceToStore(std::span<const std::uint8_t, phone::kReceiveBufferSize>(
                        event.windowBuffer, phone::kReceiveBufferSize));
                windowCopy.assign(voice.begin(), voice.end());
            }
        },
        1);
    return taken;
}

}  // namespace

TEST(PeerWireTest, EveryDatagramSizeIsTakenWholeAndSeenAsTheWindowSeesIt) {
    Wire wire(ParseDotted("0.0.0.0"), 0, 1 << 20);
    testsupport::UdpPeer sender("127.0.8.2");
    // "zelk", Seq 1, Target 1, Command 10, Status 0, Length 2047, then bytes that are never zero.
    std::vector<std::uint8_t> full(65507, 0xAB);
    const std::uint8_t head[] = {'z', 'e', 'l', 'k', 1, 0, 1, 0, 10, 0, 0, 0, 0xFF, 0x07};
    std::copy(std::begin(head), std::end(head), full.begin());

    std::vector<std::uint8_t> copy, stored;
    // Largest first, so every smaller datagram lands where a larger one left its bytes.
    for (std::size_t size = full.size() + 1; size-- > 0;) {
        sender.SendTo(std::span(full).first(size), "127.0.8.1", ntohs(wire.Bound().sin_port));
        const auto event = ReceiveOne(wire, copy, stored);
        ASSERT_TRUE(event) << size;
        ASSERT_EQ(copy.size(), size);
        ASSERT_TRUE(std::equal(copy.begin(), copy.end(), full.begin())) << size;
        const char* reason = size == 0     ? "empty"
                             : size < 12   ? "shorter than 12"
                             : size > 2048 ? "over 2048"
                                           : nullptr;
        const Kind kind = reason != nullptr ? Kind::Ignored
                          : size == 12      ? Kind::Request
                                            : Kind::Voice;
        ASSERT_EQ(event->look.kind, kind) << size;
        ASSERT_EQ(std::string(event->look.reason ? event->look.reason : ""),
                  std::string(reason ? reason : ""))
            << size;
        // A voice datagram stores its Length (bounded by the buffer), zeros past what came. At
        // 13 bytes the Length's high byte did not come: it reads 255.
        if (kind == Kind::Voice) {
            ASSERT_EQ(stored.size(), size == 13 ? 255u : 2034u) << size;
            const auto came =
                std::min<std::size_t>(size - std::min<std::size_t>(size, 14), stored.size());
            ASSERT_EQ(std::count(stored.begin(), stored.begin() + came, 0xAB), came) << size;
            ASSERT_EQ(std::count(stored.begin() + came, stored.end(), 0), stored.size() - came)
                << size;
        }
    }
    ASSERT_TRUE(std::string(EndpointText(wire.Bound())).starts_with("0.0.0.0:"));
}

TEST(PeerWireTest, EventsCarryBothEndsAndTheKernelStamp) {
    Wire wire(ParseDotted("0.0.0.0"), 0, 0);
    testsupport::UdpPeer sender("127.0.8.4");
    const std::uint8_t ring[] = {'z', 'e', 'l', 'k', 1, 0, 1, 0, 5, 0, 0, 0};
    sender.SendTo(ring, "127.0.8.3", ntohs(wire.Bound().sin_port));
    std::vector<std::uint8_t> copy, stored;
    const auto event = ReceiveOne(wire, copy, stored);
    ASSERT_TRUE(event);
    // The local address comes from the datagram itself, though the socket is bound to 0.0.0.0.
    EXPECT_EQ(AddressText(event->local), "127.0.8.3");
    EXPECT_EQ(EndpointText(event->peer), "127.0.8.4:" + std::to_string(sender.Port()));
    EXPECT_NEAR(event->stamp, static_cast<double>(std::time(nullptr)), 5);
    EXPECT_EQ(event->look.kind, Kind::Request);
}

TEST(PeerFiguresTest, SeqFollowsTheWindowsNumbering) {
    struct Step {
        std::uint16_t seq;
        bool voice;
    };
    const struct {
        const char* name;
        std::vector<Step> steps;
        std::uint64_t gaps, duplicates, reordered;
    } cases[] = {
        {"voice wraps to 1", {{65534, true}, {65535, true}, {1, true}, {2, true}}, 0, 0, 0},
        {"a request runs on to 0", {{65535, false}, {0, true}, {1, true}}, 0, 0, 0},
        {"requests and voice share the counter",
         {{1, false}, {2, false}, {3, true}, {4, true}, {5, false}, {6, false}, {7, true}},
         0,
         0,
         0},
        {"a late one fills its gap",
         {{1, true}, {2, true}, {4, true}, {3, true}, {5, true}},
         0,
         0,
         1},
        {"lost ones stay gaps", {{1, true}, {2, true}, {5, true}, {6, true}}, 2, 0, 0},
        {"twice is a duplicate", {{1, true}, {2, true}, {2, true}, {3, true}, {1, true}}, 0, 2, 0},
        {"a gap across the wrap", {{65534, true}, {3, true}, {65535, true}}, 2, 0, 1},
    };
    for (const auto& c : cases) {
        SeqCheck check;
        for (const Step& step : c.steps) {
            check.Take(step.seq, step.voice);
        }
        EXPECT_EQ(std::tuple(check.Gaps(), check.Duplicates(), check.Reordered()),
                  std::tuple(c.gaps, c.duplicates, c.reordered))
            << c.name;
    }
}

TEST(PeerFiguresTest, SpreadsInMillisecondsAndABoundedSample) {
    Samples spacing;
    for (int ms = 100; ms >= 1; --ms) {
        spacing.Add(ms / 1000.0);
    }
    EXPECT_EQ(SpreadMs(spacing).dump(), R"({"median":50.5,"p99":99.0,"max":100.0,"min":1.0})");
    EXPECT_EQ(SpreadMs(Samples(), false).dump(), R"({"median":null,"p99":null,"max":null})");

    Samples bounded(10);
    for (int i = 0; i < 1000; ++i) {
        bounded.Add(i == 500 ? 9.0 : (i == 700 ? -1.0 : 0.5));
    }
    EXPECT_EQ(bounded.Kept().size(), 10u);
    EXPECT_EQ(std::tuple(bounded.Min(), bounded.Max()), std::tuple(-1.0, 9.0));
}

TEST(PeerFiguresTest, ScheduleKeepsItsDeadlinesAndSkipsAStall) {
    VoiceSchedule schedule(10.0, 0.047);
    // {woken at, slot sent, its deadline, next deadline}
    const struct {
        double now;
        std::uint64_t slot;
        double deadline, next;
    } wakes[] = {
        {10.000, 0, 10.000, 10.047},  // on time
        {10.047, 1, 10.047, 10.094},
        {10.130, 2, 10.094, 10.141},  // 36 ms late: sent at once, the next keeps its deadline
        {10.141, 3, 10.141, 10.188},
        {10.400, 4, 10.188, 10.423},  // a stall: on from the next due slot (9), no burst
        {10.423, 9, 10.423, 10.470},
    };
    for (const auto& wake : wakes) {
        const auto due = schedule.Take(wake.now);
        EXPECT_EQ(due.slot, wake.slot) << wake.now;
        EXPECT_NEAR(due.deadline, wake.deadline, 1e-9) << wake.now;
        EXPECT_NEAR(schedule.NextDeadline(), wake.next, 1e-9) << wake.now;
    }
    EXPECT_EQ(schedule.Stalls(), 1u);
}

TEST(PeerFiguresTest, PhonesKeepTheirCallsApart) {
    Figures figures;
    figures.SetPhones({"127.0.0.1:1", "127.0.0.1:2"});
    std::vector<std::vector<std::uint8_t>> kept;  // the events' bytes
    const auto event = [&](std::uint32_t phone, bool outgoing, double t, phone::Command command,
                           std::uint16_t seq) {
        kept.emplace_back(command == phone::CmdVoice ? phone::kVoiceSize : phone::kRequestSize);
        auto& bytes = kept.back();
        if (command == phone::CmdVoice) {
            phone::BuildVoiceHeader(
                std::span<std::uint8_t, phone::kVoiceSize>(bytes.data(), phone::kVoiceSize), seq, 1,
                400);
        } else {
            phone::BuildRequest(
                std::span<std::uint8_t, phone::kRequestSize>(bytes.data(), phone::kRequestSize),
                command, seq, 1);
        }
        DatagramEvent made;
        made.phone = phone;
        made.outgoing = outgoing;
        made.t = made.stamp = t;
        made.bytes = bytes;
        made.look = LookAt(bytes);
        figures.OnDatagram(made);
        if (command == phone::CmdRing) {
            figures.StartCall(made, "127.0.0.9");
        }
    };
    event(0, false, 0, phone::CmdRing, 1);
    event(1, false, 0.001, phone::CmdRing, 1);
    // Both phones stream and hear the same Seq, 10 ms apart: within each, 47 ms and no repeats.
    for (std::uint16_t i = 0; i < 3; ++i) {
        for (std::uint32_t phone = 0; phone < 2; ++phone) {
            const double t = 0.01 + i * 0.047 + phone * 0.01;
            event(phone, true, t, phone::CmdVoice, static_cast<std::uint16_t>(2 + i));
            event(phone, false, t, phone::CmdVoice, static_cast<std::uint16_t>(2 + i));
        }
    }
    // The second phone takes call after call while the first one's goes on.
    for (int i = 0; i < 150; ++i) {
        event(1, false, 1 + i, phone::CmdRing, 1);
    }
    const auto summary = figures.Summary();
    EXPECT_EQ(summary["pacing_sent_ms"]["min"], 47.0);
    EXPECT_EQ(summary["pacing_received_ms"]["max"], 47.0);
    EXPECT_EQ(summary["seq_duplicates"], 0);
    EXPECT_EQ(summary["seq_gaps"], 0);
    EXPECT_EQ(figures.CallCount(), 152u);
    const auto calls = figures.Calls();
    ASSERT_EQ(calls.size(), Figures::kListedCalls);
    // The earliest started, whichever phone's call ended first.
    EXPECT_EQ(calls[0]["phone"], "127.0.0.1:1");
    EXPECT_EQ(calls[0]["voice_sent"], 3);
    EXPECT_EQ(calls[0]["pacing_sent_ms"]["median"], 47.0);
    EXPECT_EQ(calls[1]["phone"], "127.0.0.1:2");
    EXPECT_EQ(calls[1]["voice_received"], 3);
    EXPECT_EQ(calls[99]["t"], 98.0);
}
