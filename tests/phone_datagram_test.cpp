#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <tuple>
#include <vector>

#include "phone/PhoneDatagram.h"

using namespace phone;

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

// A receive buffer as the window fills it: the datagram, then zeros.
std::array<std::uint8_t, kReceiveBufferSize> Received(std::initializer_list<std::uint8_t> bytes) {
    std::array<std::uint8_t, kReceiveBufferSize> buffer{};
    std::copy(bytes.begin(), bytes.end(), buffer.begin());
    return buffer;
}

template <std::size_t N>
Bytes AsBytes(const std::array<std::uint8_t, N>& array) {
    return Bytes(array.begin(), array.end());
}

}  // namespace

TEST(PhoneDatagramTest, BuildsAndReadsLittleEndianSignedFields) {
    std::array<std::uint8_t, kRequestSize> request{};
    BuildRequest(request, CmdRing, 1, 1);
    EXPECT_EQ(AsBytes(request), (Bytes{'z', 'e', 'l', 'k', 1, 0, 1, 0, 5, 0, 0, 0}));
    SetStatus(request, StatusAccepted);
    EXPECT_EQ(AsBytes(request), (Bytes{'z', 'e', 'l', 'k', 1, 0, 1, 0, 5, 0, 1, 0}));
    BuildRequest(request, CmdDisconnect, 0xBEEF, 70000);  // target keeps its low 16 bits: 4464
    EXPECT_EQ(AsBytes(request), (Bytes{'z', 'e', 'l', 'k', 0xEF, 0xBE, 0x70, 0x11, 9, 0, 0, 0}));

    std::array<std::uint8_t, kVoiceSize> voice{};
    voice[kOffsetPayload] = 0xAA;
    voice[kVoiceSize - 1] = 0xBB;
    BuildVoiceHeader(voice, 3, -1, 400);
    const Bytes expected{'z', 'e', 'l', 'k', 3, 0, 0xFF, 0xFF, 10, 0, 0, 0, 0x90, 1, 0xAA};
    EXPECT_EQ(Bytes(voice.begin(), voice.begin() + 15), expected);
    EXPECT_EQ(voice.back(), 0xBB);

    const PhoneDatagram header = ReadHeader(Bytes(14, 0xFF));
    EXPECT_EQ(std::tuple(header.Seq, header.Target, header.Command, header.Status, header.Length),
              std::tuple(65535, -1, -1, -1, -1));
}

TEST(PhoneDatagramTest, ClassifiesByTheFirstMatchingTest) {
    using enum DatagramKind;
    const struct {
        const char* name;
        std::uint8_t first, command;
        std::uint16_t status;
        std::int32_t count;
        DatagramKind kind;
    } cases[] = {{"ring", 'z', 5, 0, 12, Request},
                 {"unknown command", 'z', 99, 0, 12, Request},
                 {"12-byte voice", 'z', 10, 0, 12, Request},
                 {"13-byte voice", 'z', 10, 0, 13, Voice},
                 {"longest voice", 'z', 10, 0, 2048, Voice},
                 {"voice-sized ring", 'z', 5, 0, 416, Ignored},
                 {"13-byte ring", 'z', 5, 0, 13, Ignored},
                 {"other first byte", 'Z', 5, 0, 12, NotPhone},
                 {"zero first byte", 0, 5, 0, 12, NotPhone},
                 {"status 1", 'z', 5, 1, 12, Reply},
                 {"status high byte", 'z', 5, 0x100, 12, Reply},
                 {"voice with status", 'z', 10, 2, 416, Reply},
                 {"11 bytes with status", 'z', 5, 1, 11, Reply},
                 {"11 bytes", 'z', 5, 0, 11, Ignored},
                 {"one byte", 'z', 0, 0, 1, Ignored},
                 {"empty", 'z', 5, 0, 0, NotPhone},
                 {"failed receive", 'z', 5, 0, -1, NotPhone},
                 {"lowest count", 'z', 5, 0, kMin, NotPhone},
                 // Bytes beyond the count are not part of the datagram, whatever the buffer holds.
                 {"status beyond count", 'z', 5, 1, 10, Ignored},
                 {"command beyond count", 'z', 10, 0, 8, Ignored}};
    for (const auto& c : cases) {
        auto buffer = Received({c.first, 'e', 'l', 'k', 1, 0, 1, 0, c.command, 0});
        WriteWord(buffer, kOffsetStatus, c.status);
        EXPECT_EQ(Classify(buffer, c.count), c.kind) << c.name;
    }
    // Bytes 1 to 3 of the magic are never looked at.
    EXPECT_EQ(Classify(Received({'z', 0, 0xFF, '!', 1, 0, 1, 0, 5}), 12), Request);
    // A count beyond the buffer reads nothing outside it.
    EXPECT_EQ(Classify(Bytes{'z', 0, 0, 0, 0, 0, 0, 0, 10, 0, 0}, 2048), Voice);
    EXPECT_EQ(Classify(Bytes{'z'}, 12), Request);
    EXPECT_EQ(Classify(Bytes{}, 12), NotPhone);
    // Every length in a buffer of exactly its size, so that the sanitizer build sees any read
    // outside it.
    const std::uint8_t head[] = {'z', 0, 0, 0, 0, 0, 0, 0, 10};
    for (std::size_t size = 0; size <= kReceiveBufferSize; ++size) {
        Bytes voice(size);
        std::copy_n(head, std::min(size, sizeof head), voice.begin());
        const DatagramKind kind = size == 0    ? NotPhone
                                  : size == 12 ? Request
                                  : size > 12  ? Voice
                                               : Ignored;
        EXPECT_EQ(Classify(voice, static_cast<std::int32_t>(size)), kind) << size;
    }
}

// NextSeq before and after one datagram, and the Seq it carried. Voice takes its Seq without
// advancing, and advances only once the datagram went out.
struct SeqStep {
    std::int32_t before;
    std::uint16_t seq;
    std::int32_t after;
};

TEST(SequenceTest, RequestsRunOnWithoutWrapping) {
    const SeqStep steps[] = {{1, 1, 2},
                             {65535, 65535, 65536},
                             {65536, 0, 65537},
                             {70000, 4464, 70001},
                             {kMax, 0xFFFF, kMin},
                             {-1, 0xFFFF, 0}};
    for (const auto& step : steps) {
        std::int32_t nextSeq = step.before;
        EXPECT_EQ(TakeRequestSeq(nextSeq), step.seq) << step.before;
        EXPECT_EQ(nextSeq, step.after) << step.before;
    }
}

TEST(SequenceTest, VoiceWrapsToOneAt65536) {
    const SeqStep steps[] = {{5, 5, 6},        {65534, 65534, 65535}, {65535, 65535, 1},
                             {70000, 4464, 1}, {kMax, 0xFFFF, kMin},  {-1, 0xFFFF, 0}};
    for (const auto& step : steps) {
        std::int32_t nextSeq = step.before;
        EXPECT_EQ(VoiceSeq(nextSeq), step.seq) << step.before;
        EXPECT_EQ(nextSeq, step.before) << step.before;
        AdvanceVoiceSeq(nextSeq);
        EXPECT_EQ(nextSeq, step.after) << step.before;
    }
}
