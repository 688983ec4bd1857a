// Call control end to end: the real window on loopback, a peer socket standing for the other
// endpoint at 127.0.0.2.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <cstdlib>
#include <memory>
#include <vector>

#include "app/Controls.h"
#include "net/NMUDP.h"
#include "support/EventWaits.h"
#include "support/RecordingBoxes.h"
#include "support/TestWindows.h"
#include "support/UdpPeer.h"

using namespace std::chrono_literals;
using testsupport::UdpPeer;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes Request(std::uint16_t seq, std::uint16_t target, std::uint16_t command,
              std::uint16_t status = 0) {
    Bytes bytes{'z', 'e', 'l', 'k'};
    for (std::uint16_t word : {seq, target, command, status}) {
        bytes.push_back(static_cast<std::uint8_t>(word & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(word >> 8));
    }
    return bytes;
}

Bytes Answered(Bytes request, std::uint8_t status) {
    request[10] = status;
    return request;
}

std::string Memo(const TForm1& window) {
    return window.Memo1->toPlainText().toStdString();
}

std::string BoxText() {
    const auto& shown = testsupport::Boxes().shown;
    return shown.size() == 1 ? shown[0].text : std::to_string(shown.size()) + " boxes";
}

class CallControlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::ResetBoxes();
        controls::SetText(window->ePort, std::to_string(peer.Port()));
    }

    void Deliver(UdpPeer& from, const Bytes& bytes) {
        from.SendTo(bytes, "127.0.0.1", testsupport::BoundPort(*window));
    }

    static Bytes Next(UdpPeer& at) {
        auto datagram = at.Receive();
        return datagram ? datagram->bytes : Bytes{};
    }

    UdpPeer peer{"127.0.0.2"};
    std::unique_ptr<TForm1> window = testsupport::MakeWindow("127.0.0.2", peer.Port());
};

TEST_F(CallControlTest, ButtonsSendRequestsWithRisingSeqAndSetTheMode) {
    const struct {
        QPushButton* button;
        std::uint16_t seq, command;
        const char* mode;
    } steps[] = {
        {window->bRing, 1, 5, "6"}, {window->bTalk, 2, 7, "7"}, {window->bDiscon, 3, 9, "1"}};
    for (const auto& step : steps) {
        step.button->click();
        auto datagram = peer.Receive();
        ASSERT_TRUE(datagram);
        EXPECT_EQ(datagram->bytes, Request(step.seq, 1, step.command));
        EXPECT_EQ(datagram->fromPort, testsupport::BoundPort(*window));
        EXPECT_TRUE(testsupport::WaitFor(
            [&] { return controls::Caption(window->LMode) == step.mode; }, 1s));
    }
    EXPECT_EQ(Memo(*window), "Memo1");
    EXPECT_FALSE(window->hook->isChecked());

    // Requests never wrap their counter: past 65535 the Seq runs on from 0.
    window->NextSeq = 65535;
    window->bRing->click();
    window->bTalk->click();
    EXPECT_EQ(Next(peer), Request(65535, 1, 5));
    EXPECT_EQ(Next(peer), Request(0, 1, 7));
}

TEST_F(CallControlTest, NumberTextsKeepTheirLow16Bits) {
    const std::pair<const char*, std::uint16_t> targets[] = {
        {" 12", 12}, {"$1F", 31}, {"0x1F", 31}, {"65537", 1}, {"-1", 0xFFFF}};
    std::uint16_t seq = 1;
    for (const auto& [text, target] : targets) {
        controls::SetText(window->eTarget, text);
        window->bRing->click();
        EXPECT_EQ(Next(peer), Request(seq++, target, 5)) << text;
    }
    std::unique_ptr<UdpPeer> at4464;
    try {
        at4464 = std::make_unique<UdpPeer>("127.0.0.2", 4464);
    } catch (const std::exception& error) {
        GTEST_SKIP() << error.what();
    }
    controls::SetText(window->ePort, "70000");
    window->bRing->click();
    EXPECT_EQ(Next(*at4464), Request(seq, 0xFFFF, 5));
}

TEST_F(CallControlTest, ConversionErrorsLeaveTheStepsBeforeThemDone) {
    const std::string hostBefore = window->UDPSock->RemoteHost;
    controls::SetText(window->eTarget, "abc");
    window->bRing->click();
    EXPECT_EQ(BoxText(), "'abc' は整数ではありません.");
    EXPECT_TRUE(testsupport::WaitFor([&] { return controls::Caption(window->LMode) == "6"; }, 1s));
    EXPECT_EQ(window->UDPSock->RemoteHost, hostBefore);
    // The failed Ring spent Seq 1 although nothing went out.
    controls::SetText(window->eTarget, "1");
    window->bTalk->click();
    EXPECT_EQ(Next(peer), Request(2, 1, 7));

    // A port with a trailing blank fails after RemoteHost took the text of eIP.
    testsupport::ResetBoxes();
    controls::SetText(window->eIP, "127.0.0.9");
    controls::SetText(window->ePort, "20080 ");
    window->bDiscon->click();
    EXPECT_EQ(BoxText(), "'20080 ' は整数ではありません.");
    EXPECT_EQ(window->CallMode, ModeIdle);
    EXPECT_EQ(window->UDPSock->RemoteHost, "127.0.0.9");
    EXPECT_EQ(window->UDPSock->RemotePort, peer.Port());

    controls::SetText(window->eIP, "127.0.0.2");
    controls::SetText(window->ePort, std::to_string(peer.Port()));
    window->bRing->click();
    EXPECT_EQ(Next(peer), Request(4, 1, 5));
    EXPECT_TRUE(peer.Drain().empty());
}

TEST_F(CallControlTest, AcceptedRingLogsThreeLinesAndTakesTheCaller) {
    // Another host at the peer's port number: the reply goes to the caller once eIP holds it.
    UdpPeer caller("127.0.0.3", peer.Port());
    Deliver(caller, Request(1, 1, 5));
    EXPECT_EQ(Next(caller), Request(1, 1, 5, 1));
    EXPECT_EQ(Memo(*window),
              "Read: 12 7A 65 6C 6B 01 00 01 00 05 00 01 00\nSend: 01 05\nDial: 1\nMemo1");
    EXPECT_TRUE(window->hook->isChecked());
    EXPECT_EQ(controls::Text(window->eIP), "127.0.0.3");
    EXPECT_EQ(window->CallMode, ModeIdle);

    const struct {
        std::uint16_t target;
        const char *lines, *shown;
    } rings[] = {
        {0xFFFF, "Read: 12 7A 65 6C 6B 07 00 FF FF 05 00 01 00\nSend: FFFFFFFF 05\nDial: -1\n",
         "-1"},
        {0x1234, "Read: 12 7A 65 6C 6B 07 00 34 12 05 00 01 00\nSend: 1234 05\nDial: 4660\n",
         "4660"},
    };
    for (const auto& ring : rings) {
        window->Memo1->setPlainText("Memo1");
        Deliver(peer, Request(7, ring.target, 5));
        EXPECT_EQ(Next(peer), Request(7, ring.target, 5, 1));
        EXPECT_EQ(Memo(*window), std::string(ring.lines) + "Memo1");
        EXPECT_EQ(controls::Text(window->eTarget), ring.shown);
    }
    EXPECT_TRUE(caller.Drain().empty());
}

TEST_F(CallControlTest, RingIsRefusedWhileCallingOrTalking) {
    controls::SetText(window->eTarget, "3");
    for (QPushButton* button : {window->bRing, window->bTalk}) {
        button->click();
        Next(peer);
        window->Memo1->setPlainText("Memo1");
        Deliver(peer, Request(1, 9, 5));
        EXPECT_EQ(Next(peer), Request(1, 9, 5, 2));
        EXPECT_EQ(Memo(*window),
                  "Read: 12 7A 65 6C 6B 01 00 09 00 05 00 02 00\nSend: 09 05\nMemo1");
    }
    EXPECT_FALSE(window->hook->isChecked());
    EXPECT_EQ(controls::Text(window->eTarget), "3");
    EXPECT_EQ(controls::Text(window->eIP), "127.0.0.2");
}

TEST_F(CallControlTest, TalkAndDisconnectCountOnlyFromTheHostInEip) {
    UdpPeer stranger("127.0.0.3");
    const struct {
        UdpPeer* from;
        std::uint16_t command;
        std::uint8_t status;
        std::int32_t mode;
        bool hook;
    } steps[] = {
        {&stranger, 7, 2, ModeIdle, false},   {&peer, 7, 1, ModeTalking, true},
        {&stranger, 9, 2, ModeTalking, true}, {&stranger, 8, 2, ModeTalking, true},
        {&peer, 8, 1, ModeIdle, false},       {&peer, 7, 1, ModeTalking, true},
        {&peer, 9, 1, ModeIdle, false},
    };
    std::uint16_t seq = 40;
    for (const auto& step : steps) {
        const Bytes request = Request(seq++, 1, step.command);
        Deliver(*step.from, request);
        // Refused or not, the reply goes to the peer in eIP, never back to the stranger.
        EXPECT_EQ(Next(peer), Answered(request, step.status)) << seq;
        EXPECT_EQ(window->CallMode, step.mode) << seq;
        EXPECT_EQ(window->hook->isChecked(), step.hook) << seq;
    }
    EXPECT_TRUE(stranger.Drain().empty());
}

TEST_F(CallControlTest, RepliesMalformedAndUnknownChangeNothing) {
    std::vector<Bytes> ignored = {Request(1, 1, 5, 1), Request(2, 1, 7, 2), Request(3, 1, 9, 7),
                                  Request(4, 1, 8, 0xFFFF), Request(5, 1, 10, 1)};
    ignored.back().resize(416, 4);  // a voice reply
    ignored.push_back(Request(1, 1, 5));
    ignored.back()[0] = 'Z';
    ignored.push_back(Request(1, 1, 5, 1));
    ignored.back().pop_back();  // 11 bytes, a reply by byte 10
    ignored.push_back(Request(1, 1, 5));
    ignored.back().pop_back();  // 11 bytes, nothing
    ignored.push_back(Request(1, 1, 5));
    ignored.back().push_back(0);  // 13 bytes, not voice
    ignored.push_back(Bytes{});
    ignored.push_back(Bytes(3000, 'z'));  // too long to receive
    for (const Bytes& datagram : ignored) {
        Deliver(peer, datagram);
    }
    // Unknown commands, 10 among them at 12 bytes, are refused and echoed as received. Answers
    // come in arrival order, so these also prove that nothing before them was answered.
    Bytes unknown = Request(0xBEEF, 2, 6);
    unknown[1] = 0x01, unknown[2] = 0x02, unknown[3] = 0x03;
    Deliver(peer, unknown);
    Deliver(peer, Request(5, 0, 10));
    EXPECT_EQ(Next(peer), Answered(unknown, 2));
    EXPECT_EQ(Next(peer), Request(5, 0, 10, 2));
    EXPECT_EQ(Memo(*window),
              "Read: 12 7A 65 6C 6B 05 00 00 00 0A 00 02 00\nSend: 00 0A\n"
              "Read: 12 7A 01 02 03 EF BE 02 00 06 00 02 00\nSend: 02 06\nMemo1");
    EXPECT_EQ(window->CallMode, ModeIdle);
    EXPECT_FALSE(window->hook->isChecked());
    EXPECT_EQ(controls::Caption(window->LRecv), "0");
}

TEST_F(CallControlTest, ReplyToAnUnresolvableEipIsReportedAndNotLogged) {
    if (std::getenv("UDPPHONE_TEST_NAMESPACE") == nullptr) {
        GTEST_SKIP() << "needs the test namespace's resolver";
    }
    controls::SetText(window->eIP, "nohost.invalid");
    Deliver(peer, Request(1, 1, 7));
    ASSERT_TRUE(testsupport::WaitFor([] { return !testsupport::Boxes().shown.empty(); }, 10s));
    EXPECT_EQ(Memo(*window), "Memo1");
    EXPECT_EQ(window->CallMode, ModeIdle);
    // A Ring still succeeds and puts the caller's dotted address in place of the name.
    Deliver(peer, Request(2, 1, 5));
    EXPECT_EQ(Next(peer), Request(2, 1, 5, 1));
    EXPECT_EQ(controls::Text(window->eIP), "127.0.0.2");
}

}  // namespace
