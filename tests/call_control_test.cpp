// Call control end to end: the real window on loopback, a peer socket standing for the other
// endpoint at 127.0.0.2.

#include "net/NMUDP.h"
#include "support/PhoneCalls.h"

using namespace std::chrono_literals;
using namespace testsupport;

namespace {

std::string BoxText() {
    const auto& shown = Boxes().shown;
    return shown.size() == 1 ? shown[0].text : std::to_string(shown.size()) + " boxes";
}

using CallControlTest = PeerCallTest;

TEST_F(CallControlTest, ButtonsSendRequestsWithRisingSeqAndSetTheMode) {
    const struct {
        QPushButton* button;
        const char* target;
        int seq, targetWord, command;
        const char* mode;
    } steps[] = {{window->bRing, "1", 1, 1, 5, "6"},
                 {window->bTalk, "-1", 2, 0xFFFF, 7, "7"},
                 {window->bDiscon, "65537", 3, 1, 9, "1"}};
    for (const auto& step : steps) {
        controls::SetText(window->eTarget, step.target);
        step.button->click();
        auto datagram = peer.Receive();
        ASSERT_TRUE(datagram);
        EXPECT_EQ(datagram->bytes, Request(step.seq, step.targetWord, step.command));
        EXPECT_EQ(datagram->fromPort, BoundPort(*window));
        EXPECT_TRUE(WaitFor([&] { return controls::Caption(window->LMode) == step.mode; }, 1s));
    }
    EXPECT_EQ(Memo(), "Memo1");
    EXPECT_FALSE(window->hook->isChecked());

    // Past 65535 the request Seq runs on from 0.
    window->NextSeq = 65535;
    window->bRing->click();
    window->bTalk->click();
    EXPECT_EQ(Next(), Request(65535, 1, 5));
    EXPECT_EQ(Next(), Request(0, 1, 7));
}

TEST_F(CallControlTest, ConversionErrorsLeaveTheStepsBeforeThemDone) {
    const std::string hostBefore = window->UDPSock->RemoteHost;
    controls::SetText(window->eTarget, "abc");
    window->bRing->click();
    EXPECT_EQ(BoxText(), "'abc' は整数ではありません.");
    EXPECT_TRUE(WaitFor([&] { return controls::Caption(window->LMode) == "6"; }, 1s));
    EXPECT_EQ(window->UDPSock->RemoteHost, hostBefore);
    // The failed Ring spent Seq 1 although nothing went out.
    controls::SetText(window->eTarget, "1");
    window->bTalk->click();
    EXPECT_EQ(Next(), Request(2, 1, 7));

    // A port with a trailing blank fails after RemoteHost took the text of eIP.
    ResetBoxes();
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
    EXPECT_EQ(Next(), Request(4, 1, 5));
    EXPECT_TRUE(peer.Drain().empty());
}

TEST_F(CallControlTest, RingIsAcceptedFromAnyHostOnlyWhileIdle) {
    // Another host at the peer's port number: the reply goes to the caller once eIP holds it.
    UdpPeer caller("127.0.0.3", peer.Port());
    const struct {
        QPushButton* pressedBefore;
        UdpPeer* from;
        int target;
        const char *lines, *shownTarget;
    } rings[] = {
        {nullptr, &caller, 1,
         "Read: 12 7A 65 6C 6B 01 00 01 00 05 00 01 00\nSend: 01 05\nDial: 1\n", "1"},
        {nullptr, &peer, 0xFFFF,
         "Read: 12 7A 65 6C 6B 01 00 FF FF 05 00 01 00\nSend: FFFFFFFF 05\nDial: -1\n", "-1"},
        {nullptr, &peer, 0x1234,
         "Read: 12 7A 65 6C 6B 01 00 34 12 05 00 01 00\nSend: 1234 05\nDial: 4660\n", "4660"},
        {window->bRing, &caller, 9, "Read: 12 7A 65 6C 6B 01 00 09 00 05 00 02 00\nSend: 09 05\n",
         "4660"},
        {window->bTalk, &caller, 9, "Read: 12 7A 65 6C 6B 01 00 09 00 05 00 02 00\nSend: 09 05\n",
         "4660"},
    };
    for (const auto& ring : rings) {
        if (ring.pressedBefore != nullptr) {
            ring.pressedBefore->click();
            Next();
        }
        const bool accepted = ring.pressedBefore == nullptr;
        window->Memo1->setPlainText("Memo1");
        window->hook->setChecked(false);
        Deliver(Request(1, ring.target, 5), *ring.from);
        // Refused, the reply still goes to the peer in eIP.
        EXPECT_EQ(Next(accepted ? *ring.from : peer), Request(1, ring.target, 5, accepted ? 1 : 2));
        EXPECT_EQ(Memo(), std::string(ring.lines) + "Memo1");
        EXPECT_EQ(controls::Text(window->eTarget), ring.shownTarget);
        EXPECT_EQ(controls::Text(window->eIP), accepted ? ring.from->Address() : "127.0.0.2");
        EXPECT_EQ(window->hook->isChecked(), accepted);
    }
    EXPECT_TRUE(caller.Drain().empty());
}

TEST_F(CallControlTest, TalkAndDisconnectCountOnlyFromTheHostInEip) {
    UdpPeer stranger("127.0.0.3");
    const struct {
        UdpPeer* from;
        int command;
        int status;
        std::int32_t mode;
        bool hook;
    } steps[] = {
        {&stranger, 7, 2, ModeIdle, false},   {&peer, 7, 1, ModeTalking, true},
        {&stranger, 9, 2, ModeTalking, true}, {&stranger, 8, 2, ModeTalking, true},
        {&peer, 8, 1, ModeIdle, false},       {&peer, 7, 1, ModeTalking, true},
        {&peer, 9, 1, ModeIdle, false},
    };
    int seq = 40;
    for (const auto& step : steps) {
        Deliver(Request(++seq, 1, step.command), *step.from);
        // Refused or not, the reply goes to the peer in eIP, never back to the stranger.
        EXPECT_EQ(Next(), Request(seq, 1, step.command, step.status)) << seq;
        EXPECT_EQ(window->CallMode, step.mode) << seq;
        EXPECT_EQ(window->hook->isChecked(), step.hook) << seq;
    }
    EXPECT_TRUE(stranger.Drain().empty());
}

TEST_F(CallControlTest, RepliesMalformedAndUnknownChangeNothing) {
    // {Command, Status, size}: replies (a voice one among them), 11 bytes with and without a
    // status, 13 bytes that are not voice.
    const int spoilt[][3] = {{5, 1, 12},   {7, 2, 12}, {9, 7, 12}, {8, 0xFFFF, 12},
                             {10, 1, 416}, {5, 1, 11}, {5, 0, 11}, {5, 0, 13}};
    for (const auto& [command, status, size] : spoilt) {
        Deliver(Zelk({1, 1, command, status}, {}, static_cast<std::size_t>(size)));
    }
    for (const Bytes& other : {Bytes(12, 'Z'), Bytes(), Bytes(3000, 'z')}) {
        Deliver(other);  // another first byte, nothing, too long to receive
    }
    // Unknown commands, 10 among them at 12 bytes, are refused and echoed as received. Answers
    // come in arrival order, so these also prove that nothing before them was answered.
    Deliver(Bytes{'z', 1, 2, 3, 0xEF, 0xBE, 2, 0, 6, 0, 0, 0});
    Deliver(Request(5, 0, 10));
    EXPECT_EQ(Next(), (Bytes{'z', 1, 2, 3, 0xEF, 0xBE, 2, 0, 6, 0, 2, 0}));
    EXPECT_EQ(Next(), Request(5, 0, 10, 2));
    EXPECT_EQ(Memo(),
              "Read: 12 7A 65 6C 6B 05 00 00 00 0A 00 02 00\nSend: 00 0A\n"
              "Read: 12 7A 01 02 03 EF BE 02 00 06 00 02 00\nSend: 02 06\nMemo1");
    EXPECT_EQ(window->CallMode, ModeIdle);
    EXPECT_FALSE(window->hook->isChecked());
    EXPECT_EQ(controls::Caption(window->LRecv), "0");
}

TEST_F(CallControlTest, ReplyToAnUnresolvableEipIsReportedAndNotLogged) {
    if (!InTestNamespace()) {
        GTEST_SKIP() << "needs the test namespace's resolver";
    }
    controls::SetText(window->eIP, "nohost.invalid");
    Deliver(Request(1, 1, 7));
    ASSERT_TRUE(WaitFor([] { return !Boxes().shown.empty(); }, 10s));
    EXPECT_EQ(Memo(), "Memo1");
    EXPECT_EQ(window->CallMode, ModeIdle);
    // A Ring still succeeds and puts the caller's dotted address in place of the name.
    Deliver(Request(2, 1, 5));
    EXPECT_EQ(Next(), Request(2, 1, 5, 1));
    EXPECT_EQ(controls::Text(window->eIP), "127.0.0.2");
}

}  // namespace
