// The call rules the window and the headless peer share: the reply's status, the new mode, the
// hook and what is remembered; the log lines; how much of a voice datagram is stored.

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>

#include "phone/CallRules.h"

using namespace phone;

TEST(CallRulesTest, AnswersByModeCommandAndSenderText) {
    const struct {
        std::int32_t mode;
        const char* remembered;
        std::int16_t command;
        const char* from;
        Status status;
        std::int32_t newMode;
        Hook hook;
        const char* rememberedAfter;
    } cases[] = {
        // A Ring while idle, from anyone, is taken and its sender remembered; the mode stays.
        {ModeIdle, "127.0.0.2", CmdRing, "127.0.0.3", StatusAccepted, ModeIdle, Hook::Lifted,
         "127.0.0.3"},
        {ModeIdle, "", CmdRing, "127.0.0.3", StatusAccepted, ModeIdle, Hook::Lifted, "127.0.0.3"},
        {ModeCalling, "127.0.0.2", CmdRing, "127.0.0.2", StatusRejected, ModeCalling,
         Hook::Unchanged, "127.0.0.2"},
        {ModeTalking, "127.0.0.2", CmdRing, "127.0.0.2", StatusRejected, ModeTalking,
         Hook::Unchanged, "127.0.0.2"},
        // Talk and the disconnects count from the remembered text only, in any mode.
        {ModeIdle, "127.0.0.2", CmdTalk, "127.0.0.2", StatusAccepted, ModeTalking, Hook::Lifted,
         "127.0.0.2"},
        {ModeCalling, "127.0.0.2", CmdTalk, "127.0.0.3", StatusRejected, ModeCalling,
         Hook::Unchanged, "127.0.0.2"},
        {ModeTalking, "127.0.0.2", CmdHangUp, "127.0.0.2", StatusAccepted, ModeIdle, Hook::Hung,
         "127.0.0.2"},
        {ModeIdle, "127.0.0.2", CmdDisconnect, "127.0.0.2", StatusAccepted, ModeIdle, Hook::Hung,
         "127.0.0.2"},
        {ModeTalking, "127.0.0.2", CmdDisconnect, "127.0.0.3", StatusRejected, ModeTalking,
         Hook::Unchanged, "127.0.0.2"},
        // Nothing remembered, a name, or a padded address: never the sender's text.
        {ModeIdle, "", CmdTalk, "127.0.0.2", StatusRejected, ModeIdle, Hook::Unchanged, ""},
        {ModeIdle, "peer2.test", CmdTalk, "127.0.0.2", StatusRejected, ModeIdle, Hook::Unchanged,
         "peer2.test"},
        {ModeTalking, "127.0.0.02", CmdDisconnect, "127.0.0.2", StatusRejected, ModeTalking,
         Hook::Unchanged, "127.0.0.02"},
        // Unknown commands, voice's among them, are refused whatever else holds.
        {ModeIdle, "127.0.0.2", CmdVoice, "127.0.0.2", StatusRejected, ModeIdle, Hook::Unchanged,
         "127.0.0.2"},
        {ModeIdle, "127.0.0.2", 6, "127.0.0.2", StatusRejected, ModeIdle, Hook::Unchanged,
         "127.0.0.2"},
    };
    for (const auto& c : cases) {
        PhoneDatagram request;
        request.Command = c.command;
        const RequestAnswer answer = AnswerRequest(c.mode, c.remembered, request, c.from);
        const std::string after(PeerAfter(answer, c.remembered, c.from));
        EXPECT_EQ(std::tuple(answer.status, answer.mode, answer.hook, after),
                  std::tuple(c.status, c.newMode, c.hook, std::string(c.rememberedAfter)))
            << "mode " << c.mode << ", command " << c.command << " from " << c.from;
        EXPECT_EQ(answer.acceptedRing, c.command == CmdRing && c.status == StatusAccepted);
    }
}

TEST(CallRulesTest, LogLinesAndStoredVoiceAsTheWindowHasThem) {
    PhoneDatagram ring;
    ring.Target = -1;
    ring.Command = CmdRing;
    EXPECT_EQ(DialLine(ring), "Dial: -1");
    EXPECT_EQ(SendLine(ring), "Send: FFFFFFFF 05");
    const std::array<std::uint8_t, 12> reply = {'z', 'e', 'l', 'k', 1, 0, 1, 0, 5, 0, 1, 0};
    EXPECT_EQ(ReadLine(reply), "Read: 12 7A 65 6C 6B 01 00 01 00 05 00 01 00");

    // {Length word, bytes stored}: nothing for 0 or less, never past the 2048-byte buffer.
    const std::pair<std::uint16_t, std::size_t> lengths[] = {
        {0, 0},     {0xFFFF, 0},  {0x8000, 0},  {10, 10},
        {400, 400}, {2034, 2034}, {2035, 2034}, {0x7FFF, 2034}};
    std::array<std::uint8_t, kReceiveBufferSize> buffer{};
    for (const auto& [word, stored] : lengths) {
        WriteWord(buffer, kOffsetLength, word);
        const auto voice = VoiceToStore(buffer);
        EXPECT_EQ(voice.size(), stored) << word;
        if (!voice.empty()) {
            EXPECT_EQ(voice.data(), buffer.data() + kOffsetPayload);
        }
    }
}
