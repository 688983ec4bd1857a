// Impairments of the outgoing voice: what a seed draws, what the outlet makes of the draws on a
// real socket, and a call whose receiver finds in the Seq numbers what the caller counted.

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cmath>

#include "peer/Addresses.h"
#include "peer/Clock.h"
#include "peer/figures/Figures.h"
#include "peer/session/ImpairedOutlet.h"
#include "support/PeerProcess.h"
#include "support/PhoneCalls.h"

using namespace peer;
using namespace testsupport;

namespace {

std::vector<ChunkFate> Fates(const ImpairmentSettings& settings, int count) {
    ImpairmentDraws draws(settings);
    std::vector<ChunkFate> fates;
    for (int i = 0; i < count; ++i) {
        fates.push_back(draws.Next());
    }
    return fates;
}

bool SameFates(const std::vector<ChunkFate>& a, const std::vector<ChunkFate>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        return std::tuple(x.drop, x.duplicate, x.reorder, x.delayMicroseconds) ==
               std::tuple(y.drop, y.duplicate, y.reorder, y.delayMicroseconds);
    });
}

// A voice chunk whose Seq tells it apart.
Bytes Chunk(int seq) {
    return Zelk({seq, 1, 10, 0, 400}, {}, 416);
}

std::vector<int> Seqs(UdpPeer& receiver) {
    std::vector<int> seqs;
    while (auto datagram = receiver.Receive(std::chrono::milliseconds(200))) {
        seqs.push_back(Word(datagram->bytes, 4));
    }
    return seqs;
}

// Whether `count` of `trials` lies within 4.5 standard deviations of a `percent` chance.
::testing::AssertionResult Binomial(std::uint64_t count, std::uint64_t trials, double percent) {
    const double n = static_cast<double>(trials), p = percent / 100;
    const double spread = 4.5 * std::sqrt(n * p * (1 - p));
    if (std::abs(static_cast<double>(count) - n * p) <= spread) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << count << " of " << trials << " at " << percent
                                         << " %: expected " << n * p << " +- " << spread;
}

}  // namespace

TEST(ImpairmentTest, ASeedDrawsTheSameFatesOnEveryMachine) {
    ImpairmentSettings settings{50, 20, 10, 30, 7};
    EXPECT_TRUE(SameFates(Fates(settings, 1000), Fates(settings, 1000)));
    settings.seed = 8;
    EXPECT_FALSE(SameFates(Fates(settings, 1000), Fates({50, 20, 10, 30, 7}, 1000)));

    // std::mt19937_64 is the same everywhere, and so is the mapping to chances and delays: the
    // first chunks of seed 7, dropped or not, and their delays in microseconds (checked against
    // an implementation of the engine of its own).
    std::string drops;
    std::vector<std::uint64_t> delays;
    for (const ChunkFate& fate : Fates({50, 0, 0, 30, 7}, 12)) {
        drops += fate.drop ? 'd' : '.';
        delays.push_back(fate.delayMicroseconds);
    }
    EXPECT_EQ(drops, ".dd.d.d....d");
    EXPECT_EQ(delays, (std::vector<std::uint64_t>{28479, 26758, 1652, 27022, 21537, 17886, 9256,
                                                  9120, 29810, 8028, 8769, 1003}));

    // Without an impairment nothing is drawn: a zero percentage is no flag at all.
    const ChunkFate clean = ImpairmentDraws({0, 0, 0, 0, 7}).Next();
    EXPECT_FALSE(clean.drop || clean.duplicate || clean.reorder || clean.delayMicroseconds > 0);
    EXPECT_FALSE(ImpairmentSettings{}.Any());
}

TEST(ImpairmentTest, CountsOfALongRunLieWithinBinomialBoundsAndAreWhatWentOut) {
    UdpPeer receiver("127.0.8.81");
    const sockaddr_in to = MakeEndpoint(ParseDotted("127.0.8.81"), receiver.Port());
    const Bytes chunk = Chunk(1);
    for (const std::uint64_t seed : {1u, 2u, 3u}) {
        Wire wire(ParseDotted("127.0.8.82"), 0, 0);
        Figures figures;
        wire.AddTap(figures);
        ImpairedOutlet outlet(wire, {10, 5, 8, 0, seed});
        outlet.SetDestination(to);
        constexpr std::uint64_t kChunks = 20'000;
        for (std::uint64_t i = 0; i < kChunks; ++i) {
            outlet.Emit(chunk, 0);
        }
        outlet.Release();
        const auto counts = outlet.Summary();
        const std::uint64_t dropped = counts["dropped"], duplicated = counts["duplicated"],
                            reordered = counts["reordered"];
        EXPECT_EQ(counts["seed"], seed);
        EXPECT_EQ(counts["chunks"], kChunks);
        EXPECT_TRUE(Binomial(dropped, kChunks, 10)) << seed;
        EXPECT_TRUE(Binomial(duplicated, kChunks - dropped, 5)) << seed;
        // A chunk can be held only while none is: each hold takes the next chunk sent with it.
        EXPECT_TRUE(Binomial(reordered, kChunks - dropped - reordered, 8)) << seed;
        EXPECT_EQ(figures.DatagramsSent(), kChunks - dropped + duplicated) << seed;
    }
}

TEST(ImpairmentTest, AHeldChunkFollowsTheNextAndALateOneWaitsForItsTime) {
    UdpPeer receiver("127.0.8.83");
    const sockaddr_in to = MakeEndpoint(ParseDotted("127.0.8.83"), receiver.Port());
    Wire wire(ParseDotted("127.0.8.84"), 0, 0);
    const struct {
        const char* name;
        ImpairmentSettings settings;
        int chunks;
        std::vector<int> seqs;
    } cases[] = {
        // The last one held goes out when the stream stops, without a next one to follow.
        {"reorder", {0, 0, 100, 0, 1}, 5, {2, 1, 4, 3, 5}},
        {"duplicate", {0, 100, 0, 0, 1}, 2, {1, 1, 2, 2}},
        {"duplicate and reorder", {0, 100, 100, 0, 1}, 2, {2, 2, 1, 1}},
        {"drop", {100, 100, 100, 0, 1}, 3, {}},
    };
    for (const auto& c : cases) {
        ImpairedOutlet outlet(wire, c.settings);
        outlet.SetDestination(to);
        for (int seq = 1; seq <= c.chunks; ++seq) {
            outlet.Emit(Chunk(seq), 0);
        }
        outlet.Release();
        EXPECT_EQ(Seqs(receiver), c.seqs) << c.name;
        EXPECT_FALSE(outlet.Waiting()) << c.name;
    }

    // Jitter: never before the deadline, at most the jitter after it.
    ImpairedOutlet late(wire, {0, 0, 0, 40, 5});
    late.SetDestination(to);
    const double deadline = MonotonicSeconds() + 0.5;
    for (int seq = 1; seq <= 20; ++seq) {
        late.Emit(Chunk(seq), deadline);
    }
    EXPECT_GE(late.NextDue(), deadline);
    late.SendDue(deadline - 1e-6);
    EXPECT_TRUE(receiver.Drain().empty());
    late.SendDue(deadline + 0.040);
    EXPECT_FALSE(late.Waiting());
    EXPECT_EQ(Seqs(receiver).size(), 20u);
    EXPECT_GT(late.Summary()["delayed"], 15);
}

TEST(PeerImpairmentTest, ASeedRepeatsTheCallAndTheReceiverFindsWhatWasCounted) {
    QTemporaryDir directory;
    const QString file = directory.filePath("voice");
    WriteFile(file.toStdString(), Pattern(16'000, 9));  // 40 chunks
    const auto callWith = [&](const QString& seed) {
        PeerProcess answer({"answer", "--bind", "127.0.8.85", "--local-port", "21801",
                            "--peer-port", "21802", "--until", "disconnect", "--duration", "60",
                            "--json", "--quiet"});
        EXPECT_TRUE(answer.WaitUntilAnswering());
        // Jitter under a period: late chunks never overtake, so every reorder is one of ours.
        const PeerResult call = RunPeer({"call",
                                         "127.0.8.85:21801",
                                         "--bind",
                                         "127.0.8.86",
                                         "--local-port",
                                         "21802",
                                         "--play",
                                         file,
                                         "--timeout",
                                         "10000",
                                         "--json",
                                         "--drop",
                                         "15",
                                         "--duplicate",
                                         "10",
                                         "--reorder",
                                         "10",
                                         "--jitter",
                                         "20",
                                         "--seed",
                                         seed});
        const PeerResult answered = answer.Finish();
        EXPECT_EQ(call.exitCode, 0) << call.out << call.err;
        EXPECT_EQ(answered.exitCode, 0) << answered.out << answered.err;
        const auto& counts = call.summary["impairments"];
        EXPECT_EQ(counts["seed"], seed.toULongLong());
        EXPECT_EQ(counts["chunks"], 40);
        // The Disconnect follows the voice on the one counter, so even a last chunk dropped
        // leaves a gap.
        EXPECT_EQ(answered.summary["seq_gaps"], counts["dropped"]);
        EXPECT_EQ(answered.summary["seq_duplicates"], counts["duplicated"]);
        EXPECT_EQ(answered.summary["seq_reordered"], counts["reordered"]);
        std::vector<int> seqs;
        for (const auto& line : call.Datagrams("out")) {
            seqs.push_back(line["seq"]);
        }
        return seqs;
    };
    const std::vector<int> first = callWith("11");
    EXPECT_EQ(callWith("11"), first);
    EXPECT_NE(callWith("12"), first);
}
