// The voice check on streams whose faults are known: each must show in its own count and nowhere
// else, whether the file is noise, silence or a tone that repeats every three chunks.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "peer/checks/VoiceCheck.h"

using namespace peer;

namespace {

constexpr std::size_t kChunk = VoiceCheck::kChunk;
constexpr std::size_t kFileSize = 120 * kChunk + 123;  // 121 chunks, the last one short

enum class Sound { Noise, Silence, Loop };

std::vector<std::uint8_t> MakeFile(Sound sound, std::size_t size = kFileSize) {
    std::vector<std::uint8_t> file(size);
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        file[i] = sound == Sound::Noise  ? static_cast<std::uint8_t>(state >> 16)
                  : sound == Sound::Loop ? static_cast<std::uint8_t>(i % (3 * kChunk) * 7)
                                         : 0;
    }
    return file;
}

struct Arrival {
    std::uint16_t seq;
    double t;
    std::vector<std::uint8_t> stored;
};

// As this peer sends a file: Seq by the voice rule, a chunk every 47 ms, the last one as long as
// it is.
std::vector<Arrival> Send(const std::vector<std::uint8_t>& file, std::uint16_t seq = 1,
                          double start = 0) {
    std::vector<Arrival> stream;
    for (std::size_t at = 0; at < file.size(); at += kChunk) {
        const auto from = file.begin() + static_cast<std::ptrdiff_t>(at);
        stream.push_back(
            {seq,
             start + static_cast<double>(at / kChunk) * 0.047,
             {from, from + static_cast<std::ptrdiff_t>(std::min(kChunk, file.size() - at))}});
        seq = seq == 65535 ? 1 : static_cast<std::uint16_t>(seq + 1);
    }
    return stream;
}

void Drop(std::vector<Arrival>& stream, std::size_t from, std::size_t count = 1) {
    stream.erase(stream.begin() + static_cast<std::ptrdiff_t>(from),
                 stream.begin() + static_cast<std::ptrdiff_t>(from + count));
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

// matched, missing, repeated, out of order, corrupted, restarts, received
using Counts = std::array<std::uint64_t, 7>;
Counts CountsOf(const VoiceCheck& check) {
    const auto& c = check.Figures();
    return {c.matched, c.missing, c.repeated, c.outOfOrder, c.corrupted, c.restarts, c.received};
}

}  // namespace

TEST(VoiceCheckTest, EachFaultShowsInItsOwnCountWhateverTheFileSoundsLike) {
    const struct {
        const char* name;
        std::function<void(std::vector<Arrival>&)> change;
        Counts counts;
        // Where a file that repeats itself cannot tell the case apart.
        std::optional<Counts> repeating = std::nullopt;
    } cases[] = {
        {"clean", [](auto&) {}, {121, 0, 0, 0, 0, 0, 121}},
        {"one three places late",
         [](auto& s) { std::rotate(s.begin() + 20, s.begin() + 21, s.begin() + 24); },
         {121, 0, 0, 1, 0, 0, 121}},
        {"the end padded to 400 bytes",
         [](auto& s) { s.back().stored.resize(kChunk); },
         {121, 0, 0, 0, 0, 0, 121}},
        {"a byte short", [](auto& s) { s[30].stored.pop_back(); }, {120, 0, 0, 0, 1, 0, 121}},
        {"a byte over", [](auto& s) { s[30].stored.push_back(0); }, {120, 0, 0, 0, 1, 0, 121}},
        {"empty", [](auto& s) { s[30].stored.clear(); }, {120, 0, 0, 0, 1, 0, 121}},
        {"the first three lost", [](auto& s) { Drop(s, 0, 3); }, {118, 3, 0, 0, 0, 0, 118}},
        {"a loss beyond the reach", [](auto& s) { Drop(s, 20, 80); }, {41, 80, 0, 0, 0, 0, 41}},
        // Joined at chunk 80: a repeating file takes it for the start; its short end says not.
        {"joined mid-file",
         [](auto& s) { Drop(s, 0, 80); },
         {41, 0, 0, 0, 0, 0, 41},
         Counts{41, 80, 0, 0, 0, 0, 41}},
    };
    for (const Sound sound : {Sound::Noise, Sound::Silence, Sound::Loop}) {
        const auto file = MakeFile(sound);
        for (const auto& c : cases) {
            auto stream = Send(file);
            c.change(stream);
            const Counts& counts = sound != Sound::Noise && c.repeating ? *c.repeating : c.counts;
            EXPECT_EQ(CountsOf(Check(file, stream)), counts) << c.name << ", " << int(sound);
        }
    }
}

TEST(VoiceCheckTest, DropsDuplicatesAndReordersAsThePeerMakesThemAreCountedExactly) {
    // As the peer's impaired outlet does it: a dropped chunk is never sent, a duplicated one goes
    // twice, a reordered one is held back and follows the next chunk that is sent.
    for (const Sound sound : {Sound::Noise, Sound::Silence, Sound::Loop}) {
        const auto file = MakeFile(sound, 3000 * kChunk);
        const auto sent = Send(file, 65000);  // the Seq wraps on the way
        std::mt19937_64 random(7);
        std::bernoulli_distribution tenth(0.1);
        std::vector<Arrival> stream;
        std::optional<std::pair<std::size_t, int>> held;  // a chunk held back, and its copies
        std::uint64_t dropped = 0, duplicated = 0, reordered = 0, lastSent = 0;
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
        if (held) {  // let go when the stream stops, after everything: in order
            stream.insert(stream.end(), held->second, sent[held->first]);
        }
        // Drops after the last chunk sent cannot be told from the call's end.
        const std::uint64_t trailing = sent.size() - 1 - lastSent;
        EXPECT_EQ(CountsOf(Check(file, stream)),
                  Counts({sent.size() - dropped, dropped - trailing, duplicated, reordered, 0, 0,
                          stream.size()}))
            << int(sound);
    }
}

TEST(VoiceCheckTest, AFlippedByteIsReportedAtItsChunkAndFails) {
    const auto file = MakeFile(Sound::Noise);
    auto stream = Send(file, 65530);
    stream[17].stored[123] ^= 0x01;
    const VoiceCheck check = Check(file, stream);

    EXPECT_EQ(CountsOf(check), Counts({120, 0, 0, 0, 1, 0, 121}));
    const auto json = check.Json()["first_corrupted"];
    EXPECT_EQ(json["seq"], stream[17].seq);
    EXPECT_NEAR(json["t"].get<double>(), stream[17].t, 1e-6);
    EXPECT_EQ(std::tuple(json["chunk"], json["offset"], json["differs_at"]),
              std::tuple(17, 17 * kChunk, 17 * kChunk + 123));
    ASSERT_EQ(check.Events().size(), 1u);
    EXPECT_EQ(std::tuple(check.Events()[0].kind, check.Events()[0].chunk),
              std::tuple(VoiceCheck::EventKind::Corrupted, 17u));
    ASSERT_EQ(check.Reasons(100).size(), 1u);
    EXPECT_NE(check.Reasons(100)[0].find("chunk 17 "), std::string::npos);

    // Another file altogether: nothing matches.
    EXPECT_EQ(CountsOf(Check(MakeFile(Sound::Loop), stream)), Counts({0, 0, 0, 0, 121, 0, 121}));
}

TEST(VoiceCheckTest, MissingChunksAreMarkedWhereDueAndFailBeyondTheShareAllowed) {
    const auto file = MakeFile(Sound::Silence);
    auto stream = Send(file, 100);
    Drop(stream, 50, 2);
    const VoiceCheck check = Check(file, stream);
    ASSERT_EQ(check.Events().size(), 2u);
    for (const std::uint64_t chunk : {50u, 51u}) {
        const auto& event = check.Events()[chunk - 50];
        EXPECT_EQ(std::tuple(event.kind, event.chunk, event.seq),
                  std::tuple(VoiceCheck::EventKind::Missing, chunk, 100 + chunk));
        EXPECT_NEAR(event.t, static_cast<double>(chunk) * 0.047, 1e-9);
    }
    EXPECT_TRUE(check.Reasons(1.7).empty());  // 2 of 121: 1.65 %
    ASSERT_EQ(check.Reasons(1.6).size(), 1u);
    EXPECT_NE(check.Reasons(1.6)[0].find("2 of 121 chunks missing"), std::string::npos);
    EXPECT_EQ(Check(file, {}).Reasons(100).size(), 1u) << "nothing arrived";
    EXPECT_TRUE(Check({}, {}).Reasons(0).empty()) << "nothing to send, nothing came";

    // The last 21 never came; chunk 99 came at 4.653 s. Beyond it, only what was due a second
    // before the voice ended is missing.
    stream = Send(MakeFile(Sound::Noise));
    stream.resize(100);
    for (const auto& [voiceEnd, missing] : {std::pair<std::optional<double>, std::uint64_t>{{}, 0},
                                            {4.7, 0},
                                            {5.804, 3},
                                            {60.0, 21}}) {
        EXPECT_EQ(Check(MakeFile(Sound::Noise), stream, voiceEnd).Figures().missing, missing);
    }
}

TEST(VoiceCheckTest, AStreamThatStartsOverIsANewPassNotACorruption) {
    for (const Sound sound : {Sound::Noise, Sound::Silence}) {
        for (const std::size_t size : {kFileSize, 10 * kChunk + 50}) {  // beyond the reach, within
            const auto file = MakeFile(sound, size);
            const std::uint64_t chunks = (size + kChunk - 1) / kChunk;
            // A second call: the Seq runs on, the file from its start, its first chunk lost.
            auto stream = Send(file, 1),
                 again = Send(file, static_cast<std::uint16_t>(chunks + 5), 30);
            stream.insert(stream.end(), again.begin() + 1, again.end());
            EXPECT_EQ(CountsOf(Check(file, stream)),
                      Counts({2 * chunks - 1, 1, 0, 0, 0, 1, 2 * chunks - 1}))
                << int(sound) << " " << size;
        }
    }
}

// Many calls at once check against one indexed file: each check's counts are its own stream's,
// as if it had the file to itself, whichever order their chunks come in.
TEST(VoiceCheckTest, ChecksSharingOneFileKeepTheirStreamsApart) {
    const std::vector<std::uint8_t> file = MakeFile(Sound::Loop);
    std::vector<Arrival> clean = Send(file), dropped = Send(file, 900);
    Drop(dropped, 10, 3);
    const auto shared = std::make_shared<const VoiceCheck::Expected>(file);
    VoiceCheck first(shared), second(shared);
    for (std::size_t i = 0; i < std::max(clean.size(), dropped.size()); ++i) {
        if (i < clean.size()) {
            first.Take(clean[i].seq, clean[i].t, clean[i].stored);
        }
        if (i < dropped.size()) {
            second.Take(dropped[i].seq, dropped[i].t, dropped[i].stored);
        }
    }
    first.Finish(std::nullopt);
    second.Finish(std::nullopt);
    EXPECT_EQ(CountsOf(first), CountsOf(Check(file, clean)));
    EXPECT_EQ(CountsOf(second), CountsOf(Check(file, dropped)));
    EXPECT_EQ(second.Figures().missing, 3u);
}
