#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <random>
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

}  // namespace

TEST(PhoneDatagramTest, RingRequestAndItsReplyMatchTheWire) {
    std::array<std::uint8_t, kRequestSize> request{};
    BuildRequest(request, CmdRing, 1, 1);
    const Bytes ring = {0x7A, 0x65, 0x6C, 0x6B, 0x01, 0x00, 0x01, 0x00, 0x05, 0x00, 0x00, 0x00};
    EXPECT_EQ(Bytes(request.begin(), request.end()), ring);

    SetStatus(request, StatusAccepted);
    Bytes accepted = ring;
    accepted[10] = 0x01;
    EXPECT_EQ(Bytes(request.begin(), request.end()), accepted);
}

TEST(PhoneDatagramTest, FieldsAreLittleEndianAndReadSigned) {
    std::array<std::uint8_t, kRequestSize> request{};
    BuildRequest(request, CmdDisconnect, 0xBEEF, 70000);  // target keeps its low 16 bits: 4464
    EXPECT_EQ(Bytes(request.begin() + 4, request.end()),
              (Bytes{0xEF, 0xBE, 0x70, 0x11, 0x09, 0x00, 0x00, 0x00}));
    BuildRequest(request, CmdTalk, 2, -1);
    EXPECT_EQ(ReadHeader(request).Target, -1);

    const auto all =
        Received({'z', 'e', 'l', 'k', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    const PhoneDatagram header = ReadHeader(all);
    EXPECT_EQ(header.Seq, 65535);
    EXPECT_EQ(header.Target, -1);
    EXPECT_EQ(header.Command, -1);
    EXPECT_EQ(header.Status, -1);
    EXPECT_EQ(header.Length, -1);
}

TEST(PhoneDatagramTest, VoiceHeaderLeavesThePayloadAlone) {
    std::array<std::uint8_t, kVoiceSize> voice{};
    voice[kOffsetPayload] = 0xAA;
    voice[kOffsetPayload + 99] = 0xBB;
    BuildVoiceHeader(voice, 3, 1, 100);
    EXPECT_EQ(Bytes(voice.begin(), voice.begin() + kOffsetPayload),
              (Bytes{'z', 'e', 'l', 'k', 3, 0, 1, 0, 10, 0, 0, 0, 100, 0}));
    EXPECT_EQ(voice[kOffsetPayload], 0xAA);
    EXPECT_EQ(voice[kOffsetPayload + 99], 0xBB);
    EXPECT_EQ(Classify(voice, static_cast<std::int32_t>(voice.size())), DatagramKind::Voice);
}

TEST(PhoneDatagramTest, ClassifiesByTheFirstMatchingTest) {
    using enum DatagramKind;
    const struct {
        const char* name;
        std::uint8_t first;
        std::uint8_t command;
        std::uint16_t status;
        std::int32_t count;
        DatagramKind kind;
    } cases[] = {{"ring", 'z', 5, 0, 12, Request},
                 {"unknown command", 'z', 99, 0, 12, Request},
                 {"12-byte voice", 'z', 10, 0, 12, Request},
                 {"13-byte voice", 'z', 10, 0, 13, Voice},
                 {"full voice", 'z', 10, 0, 416, Voice},
                 {"longest voice", 'z', 10, 0, 2048, Voice},
                 {"voice-sized ring", 'z', 5, 0, 416, Ignored},
                 {"13-byte ring", 'z', 5, 0, 13, Ignored},
                 {"other first byte", 'Z', 5, 0, 12, NotPhone},
                 {"zero first byte", 0, 5, 0, 12, NotPhone},
                 {"status 1", 'z', 5, 1, 12, Reply},
                 {"status 7", 'z', 5, 7, 12, Reply},
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
}

// Random datagrams of every length, each in a buffer of exactly its size so that a read outside
// it is caught by the sanitizer build.
TEST(PhoneDatagramTest, AnyByteStringIsClassifiedConsistently) {
    std::mt19937 random(416);
    for (int round = 0; round < 20000; ++round) {
        Bytes datagram(random() % (kReceiveBufferSize + 1));
        for (auto& byte : datagram) {
            byte = static_cast<std::uint8_t>(random() % 4 == 0 ? random() : random() % 16);
        }
        if (!datagram.empty() && random() % 2 == 0) {
            datagram[0] = 'z';
        }
        const auto count = static_cast<std::int32_t>(datagram.size());
        const DatagramKind kind = Classify(datagram, count);
        const PhoneDatagram header = ReadHeader(datagram);
        const bool phone = count > 0 && datagram[0] == 'z';
        switch (kind) {
            case DatagramKind::NotPhone:
                ASSERT_FALSE(phone);
                break;
            case DatagramKind::Reply:
                ASSERT_TRUE(phone && header.Status != 0);
                break;
            case DatagramKind::Voice:
                ASSERT_TRUE(phone && header.Status == 0 && header.Command == 10 && count > 12);
                break;
            case DatagramKind::Request:
                ASSERT_TRUE(phone && header.Status == 0 && count == 12);
                break;
            case DatagramKind::Ignored:
                ASSERT_TRUE(phone && header.Status == 0 && count != 12);
                ASSERT_FALSE(header.Command == 10 && count > 12);
                break;
        }
    }
}

TEST(SequenceTest, RequestsAndVoiceShareOneCounterFromOne) {
    std::int32_t nextSeq = 1;
    EXPECT_EQ(TakeRequestSeq(nextSeq), 1);  // Ring
    EXPECT_EQ(TakeRequestSeq(nextSeq), 2);  // Talk
    for (std::uint16_t expected : {3, 4}) {
        EXPECT_EQ(VoiceSeq(nextSeq), expected);
        EXPECT_EQ(nextSeq, expected) << "taking a voice Seq must not advance";
        AdvanceVoiceSeq(nextSeq);
    }
    EXPECT_EQ(nextSeq, 5);
}

// NextSeq before and after one datagram, and the Seq it carried.
struct SeqStep {
    std::int32_t before;
    std::uint16_t seq;
    std::int32_t after;
};

TEST(SequenceTest, RequestsRunOnWithoutWrapping) {
    const SeqStep steps[] = {{65535, 65535, 65536}, {65536, 0, 65537},   {70000, 4464, 70001},
                             {kMax, 0xFFFF, kMin},  {kMin, 0, kMin + 1}, {-1, 0xFFFF, 0}};
    for (const auto& step : steps) {
        std::int32_t nextSeq = step.before;
        EXPECT_EQ(TakeRequestSeq(nextSeq), step.seq) << step.before;
        EXPECT_EQ(nextSeq, step.after) << step.before;
    }
}

TEST(SequenceTest, VoiceWrapsToOneAtSixtyFiveThousandFiveHundredThirtySix) {
    // 70000: requests had run past the voice limit.
    const SeqStep steps[] = {{5, 5, 6},        {65534, 65534, 65535}, {65535, 65535, 1},
                             {70000, 4464, 1}, {kMax, 0xFFFF, kMin},  {-1, 0xFFFF, 0}};
    for (const auto& step : steps) {
        std::int32_t nextSeq = step.before;
        EXPECT_EQ(VoiceSeq(nextSeq), step.seq) << step.before;
        AdvanceVoiceSeq(nextSeq);
        EXPECT_EQ(nextSeq, step.after) << step.before;
    }
}
