// The voice check on streams whose faults are known: each impairment must show in its own count
// and nowhere else, whatever the file sounds like.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "peer/checks/VoiceCheck.h"

using namespace peer;

namespace {

constexpr std::size_t kChunk = VoiceCheck::kChunk;

// 121 chunks, the last one 123 bytes long.
constexpr std::size_t kFileSize = 120 * kChunk + 123;

enum class Sound { Noise, Silence, Loop };

std::vector<std::uint8_t> MakeFile(Sound sound, std::size_t size = kFileSize) {
    std::vector<std::uint8_t> file(size);
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        switch (sound) {
            case Sound::Noise:
                file[i] = static_cast<std::uint8_t>(state >> 16);
                break;
            case Sound::Silence:
                file[i] = 0;
                break;
            case Sound::Loop:  // a tone whose period is three chunks
                file[i] = static_cast<std::uint8_t>((i % (3 * kChunk)) * 7);
                break;
        }
    }
    return file;
}

// A datagram as it arrives: Seq, time, the bytes stored.
struct Arrival {
    std::uint16_t seq;
    double t;
    std::vector<std::uint8_t> stored;
};

// The file sent as this peer sends it: Seq from `firstSeq` by the voice rule, a chunk every
// 47 ms, the last one as long as it is.
std::vector<Arrival> Send(const std::vector<std::uint8_t>& file, std::uint16_t firstSeq = 1,
                          double start = 0) {
    std::vector<Arrival> stream;
    std::uint16_t seq = firstSeq;
    for (std::size_t at = 0, i = 0; at < file.size(); at += kChunk, ++i) {
        const auto end =
            file.begin() + static_cast<std::ptrdiff_t>(std::min(at + kChunk, file.size()));
        stream.push_back(
            {seq, start + static_cast<double>(i) * 0.047,
             std::vector<std::uint8_t>(file.begin() + static_cast<std::ptrdiff_t>(at), end)});
        seq = seq == 65535 ? 1 : static_cast<std::uint16_t>(seq + 1);
    }
    return stream;
}

void Drop(std::vector<Arrival>& stream, std::vector<std::size_t> chunks) {
    std::sort(chunks.rbegin(), chunks.rend());
    for (const std::size_t chunk : chunks) {
        stream.erase(stream.begin() + static_cast<std::ptrdiff_t>(chunk));
    }
}

VoiceCheck Check(const std::vector<std::uint8_t>& file, const std::vector<Arrival>& stream,
                 std::optional<double> voiceEnd = std::nullopt) {
    VoiceCheck check(file);
    for (const Arrival& arrival : stream) {
        check.Take(arrival.seq, arrival.t, arrival.stored);
    }
    check.Finish(voiceEnd);
    return check;
}

using Counts = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t,
                          std::uint64_t, std::uint64_t>;

// matched, missing, repeated, out of order, corrupted, restarts, received
Counts CountsOf(const VoiceCheck& check) {
    const auto& c = check.Figures();
    return {c.matched, c.missing, c.repeated, c.outOfOrder, c.corrupted, c.restarts, c.received};
}

}  // namespace

TEST(VoiceCheckTest, EachImpairmentShowsInItsOwnCountWhateverTheFileSoundsLike) {
    // Drops at 5, 40, 41 and 90; chunks 3 and 60 twice; 10/11 and 70/71 swapped.
    const auto impair = [](std::vector<Arrival>& s) {
        std::swap(s[70], s[71]);
        std::swap(s[10], s[11]);
        s.insert(s.begin() + 61, s[60]);
        s.insert(s.begin() + 4, s[3]);
        Drop(s, {5 + 1, 40 + 1, 41 + 1, 90 + 2});
    };
    const struct {
        const char* name;
        std::function<void(std::vector<Arrival>&)> change;
        Counts counts;
        // Where a file that repeats itself cannot tell the case apart.
        std::optional<Counts> repeating = std::nullopt;
    } cases[] = {
        {"clean", [](auto&) {}, {121, 0, 0, 0, 0, 0, 121}},
        {"drops",
         [](auto& s) {
             Drop(s, {5, 40, 41, 90});
         },
         {117, 4, 0, 0, 0, 0, 117}},
        {"duplicates",
         [](auto& s) {
             s.insert(s.begin() + 61, s[60]);
             s.insert(s.begin() + 4, s[3]);
         },
         {121, 0, 2, 0, 0, 0, 123}},
        {"reorders",
         [](auto& s) {
             std::swap(s[10], s[11]);
             std::swap(s[70], s[71]);
         },
         {121, 0, 0, 2, 0, 0, 121}},
        {"all at once", impair, {117, 4, 2, 2, 0, 0, 119}},
        {"a late one three places back",
         [](auto& s) { std::rotate(s.begin() + 20, s.begin() + 21, s.begin() + 24); },
         {121, 0, 0, 1, 0, 0, 121}},
        {"the file's end padded to 400 bytes",
         [](auto& s) { s.back().stored.resize(kChunk); },
         {121, 0, 0, 0, 0, 0, 121}},
        {"a chunk cut one byte short",
         [](auto& s) { s[30].stored.pop_back(); },
         {120, 0, 0, 0, 1, 0, 121}},
        {"a chunk with a byte too many",
         [](auto& s) { s[30].stored.push_back(0); },
         {120, 0, 0, 0, 1, 0, 121}},
        {"an empty voice datagram in place of one",
         [](auto& s) { s[30].stored.clear(); },
         {120, 0, 0, 0, 1, 0, 121}},
        // Joined at chunk 80: in a repeating file the stream is taken to begin at the start, and
        // its short end shows it was not.
        {"a call joined mid-file",
         [](auto& s) { s.erase(s.begin(), s.begin() + 80); },
         {41, 0, 0, 0, 0, 0, 41},
         Counts{41, 80, 0, 0, 0, 0, 41}},
        {"the first chunks lost",
         [](auto& s) {
             Drop(s, {0, 1, 2});
         },
         {118, 3, 0, 0, 0, 0, 118}},
        {"a loss longer than the search reaches",
         [](auto& s) { s.erase(s.begin() + 20, s.begin() + 100); },
         {41, 80, 0, 0, 0, 0, 41}},
    };
    for (const Sound sound : {Sound::Noise, Sound::Silence, Sound::Loop}) {
        const auto file = MakeFile(sound);
        for (const auto& c : cases) {
            auto stream = Send(file);
            c.change(stream);
            const VoiceCheck check = Check(file, stream);
            const Counts& counts = sound != Sound::Noise && c.repeating ? *c.repeating : c.counts;
            EXPECT_EQ(CountsOf(check), counts) << c.name << ", sound " << static_cast<int>(sound);
            EXPECT_EQ(check.Figures().expected, 121u);
        }
    }
}

TEST(VoiceCheckTest, RandomImpairmentsAsThePeerMakesThemAreCountedExactly) {
    // As the peer's impaired outlet does it: a dropped chunk is never sent, a duplicated one goes
    // twice, a reordered one is held back and follows the next chunk that is sent.
    for (const Sound sound : {Sound::Noise, Sound::Silence, Sound::Loop}) {
        const auto file = MakeFile(sound, 3000 * kChunk);
        const auto sent = Send(file, 65000);
        std::mt19937_64 random(7);
        std::bernoulli_distribution tenth(0.1);
        std::vector<Arrival> stream;
        std::optional<std::pair<std::size_t, int>> held;  // a chunk held back, and its copies
        std::uint64_t dropped = 0, duplicated = 0, reordered = 0;
        std::size_t lastSent = 0;
        for (std::size_t i = 0; i < sent.size(); ++i) {
            const bool drop = tenth(random), duplicate = tenth(random), reorder = tenth(random);
            if (drop) {
                ++dropped;
                continue;
            }
            lastSent = i;
            duplicated += duplicate;
            stream.insert(stream.end(), duplicate ? 2 : 1, sent[i]);
            if (held) {
                stream.insert(stream.end(), held->second, sent[held->first]);
                held.reset();
                ++reordered;
            } else if (reorder) {
                held.emplace(i, duplicate ? 2 : 1);
                stream.resize(stream.size() - held->second);
            }
        }
        if (held) {  // released when the stream stops: after everything, so in order
            stream.insert(stream.end(), held->second, sent[held->first]);
        }
        const VoiceCheck check = Check(file, stream);
        // Drops after the last chunk that was sent could not be told from the end of the call.
        const std::uint64_t trailing = sent.size() - 1 - lastSent;
        EXPECT_EQ(CountsOf(check), Counts(sent.size() - dropped, dropped - trailing, duplicated,
                                          reordered, 0, 0, stream.size()))
            << static_cast<int>(sound);
    }
}

TEST(VoiceCheckTest, OneFlippedByteIsReportedAtItsChunkAndFails) {
    const auto file = MakeFile(Sound::Noise);
    auto stream = Send(file, 65530);  // its Seq wraps on the way
    stream[17].stored[123] ^= 0x01;
    const VoiceCheck check = Check(file, stream);

    EXPECT_EQ(CountsOf(check), Counts(120, 0, 0, 0, 1, 0, 121));
    ASSERT_TRUE(check.FirstCorrupted());
    EXPECT_EQ(check.FirstCorrupted()->chunk, 17u);
    EXPECT_EQ(check.FirstCorrupted()->seq, stream[17].seq);
    EXPECT_EQ(check.FirstCorrupted()->differsAt, 17 * kChunk + 123);
    const auto json = check.Json();
    EXPECT_EQ(json["first_corrupted"]["offset"], 17 * kChunk);
    EXPECT_NEAR(json["first_corrupted"]["t"].get<double>(), stream[17].t, 1e-6);
    ASSERT_EQ(check.Events().size(), 1u);
    EXPECT_EQ(check.Events()[0].kind, VoiceCheck::EventKind::Corrupted);
    EXPECT_EQ(check.Events()[0].chunk, 17u);

    const auto reasons = check.Reasons(100);
    ASSERT_EQ(reasons.size(), 1u);
    EXPECT_NE(reasons[0].find("chunk 17 "), std::string::npos) << reasons[0];
}

TEST(VoiceCheckTest, MissingChunksFailBeyondTheShareAllowedAndAreMarkedWhereTheyWereDue) {
    const auto file = MakeFile(Sound::Silence);
    auto stream = Send(file, 100);
    Drop(stream, {50, 51});
    const VoiceCheck check = Check(file, stream);

    ASSERT_EQ(check.Events().size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(check.Events()[i].kind, VoiceCheck::EventKind::Missing);
        EXPECT_EQ(check.Events()[i].chunk, 50 + i);
        EXPECT_EQ(check.Events()[i].seq, 150 + i);
        EXPECT_NEAR(check.Events()[i].t, static_cast<double>(50 + i) * 0.047, 1e-9);
    }
    // 2 of 121: 1.65 %.
    EXPECT_TRUE(check.Reasons(1.7).empty());
    ASSERT_EQ(check.Reasons(1.6).size(), 1u);
    EXPECT_NE(check.Reasons(1.6)[0].find("2 of 121 chunks missing"), std::string::npos);

    EXPECT_EQ(Check(file, {}).Reasons(100).size(), 1u) << "nothing arrived";
    EXPECT_TRUE(Check({}, {}).Reasons(0).empty()) << "nothing to send, nothing came";
}

TEST(VoiceCheckTest, TheTailCountsMissingOnlyWhereItWasDueWellBeforeTheVoiceEnded) {
    const auto file = MakeFile(Sound::Noise);
    auto stream = Send(file);
    stream.resize(100);  // the last 21 never came; chunk 99 arrived at 4.653 s
    const struct {
        std::optional<double> voiceEnd;
        std::uint64_t missing;
    } cases[] = {
        {std::nullopt, 0},  // the call's end unknown: nothing beyond the last received
        {4.7, 0},           // ended just after: they could not have come
        {5.653 + 0.047 * 3 + 0.01, 3},
        {60, 21},  // the whole rest was due long before
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Check(file, stream, c.voiceEnd).Figures().missing, c.missing)
            << (c.voiceEnd ? *c.voiceEnd : -1);
    }
}

TEST(VoiceCheckTest, AStreamThatStartsOverIsANewPassNotACorruption) {
    for (const Sound sound : {Sound::Noise, Sound::Silence}) {
        // Longer and shorter than the reach.
        for (const std::size_t size : {kFileSize, 10 * kChunk + 50}) {
            const auto file = MakeFile(sound, size);
            const std::uint64_t chunks = size / kChunk + (size % kChunk != 0);
            auto stream = Send(file, 1);
            // A second call: the Seq runs on, the file from its start; its first chunk lost.
            auto again = Send(file, static_cast<std::uint16_t>(chunks + 5), 30);
            Drop(again, {0});
            stream.insert(stream.end(), again.begin(), again.end());
            const VoiceCheck check = Check(file, stream);
            EXPECT_EQ(CountsOf(check), Counts(2 * chunks - 1, 1, 0, 0, 0, 1, 2 * chunks - 1))
                << static_cast<int>(sound) << " " << size;
        }
    }
}

TEST(VoiceCheckTest, AnotherFileIsCorruptedThroughout) {
    const auto stream = Send(MakeFile(Sound::Loop));
    const VoiceCheck check = Check(MakeFile(Sound::Noise), stream);
    EXPECT_EQ(CountsOf(check), Counts(0, 0, 0, 0, 121, 0, 121));
    EXPECT_EQ(check.FirstCorrupted()->chunk, 0u);
}
