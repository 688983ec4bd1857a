// The headless peer and the window in this process: each calls the other with voice both ways,
// and the same requests get the same replies from both.

#include <signal.h>

#include <QTemporaryDir>

#include "support/PeerProcess.h"
#include "support/PhoneCalls.h"

using namespace std::chrono_literals;
using namespace testsupport;

namespace {

class PeerWindowTest : public VoiceFileTest {
  protected:
    // A window whose peer (eIP and its port) is `peerAddress`:`peerPort`, voice files open.
    void WindowCalling(const std::string& peerAddress, int peerPort, const Bytes& sendFile) {
        window = MakeWindow(peerAddress, peerPort);
        controls::SetText(window->ePort, std::to_string(peerPort));
        WriteFile(sendPath, sendFile);
        WriteFile(recvPath, {});
        window->bOpen->click();
        ASSERT_EQ(window->bOpen->text(), "open ok");
    }
    QString Path(const char* name) const { return directory.filePath(name); }
    QString WindowPort() const { return QString::number(BoundPort(*window)); }

    QTemporaryDir directory;
};

int Chunks(std::size_t size) {
    return static_cast<int>((size + 399) / 400);
}

}  // namespace

TEST_F(PeerWindowTest, PeerCallsTheWindowAndBothFilesArrive) {
    const Bytes windowVoice = Pattern(2'345, 4), peerVoice = Pattern(1'777, 5);
    WindowCalling("127.0.8.51", 21501, windowVoice);
    WriteFile(Path("a").toStdString(), peerVoice);
    const PeerResult call = RunPeer({"call", "127.0.0.1:" + WindowPort(), "--bind", "127.0.8.51",
                                     "--local-port", "21501", "--play", Path("a"), "--record",
                                     Path("got"), "--talk-seconds", "3", "--json"});
    ASSERT_EQ(call.exitCode, 0) << call.out << call.err;
    EXPECT_EQ(ReadFile(Path("got").toStdString()), windowVoice);
    EXPECT_EQ(ReadFile(recvPath), peerVoice);
    EXPECT_EQ(controls::Caption(window->LSend), std::to_string(Chunks(windowVoice.size())));
    EXPECT_EQ(controls::Caption(window->LRecv), std::to_string(Chunks(peerVoice.size())));
    EXPECT_EQ(window->CallMode, ModeIdle);
    // Ring 1, Talk 2, five chunks, Disconnect 8: the window's log of the three.
    EXPECT_EQ(Memo(),
              "Read: 12 7A 65 6C 6B 08 00 01 00 09 00 01 00\nSend: 01 09\n"
              "Read: 12 7A 65 6C 6B 02 00 01 00 07 00 01 00\nSend: 01 07\n"
              "Read: 12 7A 65 6C 6B 01 00 01 00 05 00 01 00\nSend: 01 05\nDial: 1\nMemo1");
    EXPECT_EQ(call.summary["seq_gaps"], 0);
}

TEST_F(PeerWindowTest, WindowCallsThePeerAndBothFilesArrive) {
    const Bytes windowVoice = Pattern(1'999, 6), peerVoice = Pattern(1'234, 7);
    WindowCalling("127.0.8.52", 21502, windowVoice);
    WriteFile(Path("b").toStdString(), peerVoice);
    PeerProcess answer({"answer", "--bind", "127.0.8.52", "--local-port", "21502", "--peer-port",
                        WindowPort(), "--play", Path("b"), "--record", Path("got"), "--until",
                        "disconnect", "--duration", "30", "--json"});
    ASSERT_TRUE(answer.WaitUntilAnswering());
    window->bRing->click();
    Pump(100ms);
    window->bTalk->click();
    EXPECT_TRUE(WaitFor(
        [&] {
            return controls::Caption(window->LSend) == std::to_string(Chunks(windowVoice.size())) &&
                   controls::Caption(window->LRecv) == std::to_string(Chunks(peerVoice.size()));
        },
        10s));
    window->bDiscon->click();
    const PeerResult answered = answer.Finish();
    ASSERT_EQ(answered.exitCode, 0) << answered.out << answered.err;
    EXPECT_EQ(ReadFile(Path("got").toStdString()), windowVoice);
    EXPECT_EQ(ReadFile(recvPath), peerVoice);
    std::vector<int> statuses;
    for (const auto& reply : answered.Datagrams("out")) {
        if (reply["kind"] == "reply") {
            statuses.push_back(reply["status"]);
            EXPECT_EQ(reply["peer"], "127.0.0.1:" + WindowPort().toStdString());
        }
    }
    EXPECT_EQ(statuses, (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(answered.summary["seq_gaps"], 0);
    EXPECT_EQ(answered.summary["seq_reordered"], 0);
}

TEST_F(PeerWindowTest, TheSameRequestsGetTheSameRepliesFromBoth) {
    // Each side's replies land at the .53 or .54 socket of its own, on one port per side.
    UdpPeer window53("127.0.8.53"), peer53("127.0.8.53");
    UdpPeer window54("127.0.8.54", window53.Port()), peer54("127.0.8.54", peer53.Port());
    window = MakeWindow("127.0.8.53", window53.Port());
    PeerProcess answer({"answer", "--bind", "127.0.8.55", "--local-port", "21505", "--peer",
                        "127.0.8.53", "--peer-port", QString::number(peer53.Port()), "--json"});
    ASSERT_TRUE(answer.WaitUntilAnswering());

    const struct {
        int from;  // 53 or 54
        Bytes datagram;
        int status;   // 0: no reply
        int replyTo;  // 53 or 54
    } steps[] = {
        {54, Request(1, 1, 7), 2, 53},  // Talk from a stranger
        {53, Request(2, 1, 7), 1, 53},  // Talk from the peer: talking
        {53, Request(3, 1, 5), 2, 53},  // Ring while talking
        {54, Request(4, 1, 9), 2, 53},
        {53, Request(5, 1, 8), 1, 53},         // HangUp: idle
        {54, Request(6, 0x1234, 5), 1, 54},    // Ring from .54, now the peer
        {53, Request(7, 1, 7), 2, 54},         // the former peer is a stranger now
        {54, Request(8, 1, 7), 1, 54},         // talking
        {54, Request(9, 1, 6), 2, 54},         // unknown command
        {54, Request(10, 1, 10), 2, 54},       // voice's command in 12 bytes
        {53, Request(11, 1, 5, 1), 0, 0},      // a reply
        {53, Zelk({12, 1, 5}, {}, 11), 0, 0},  // 11 bytes
        {54, Bytes{'z', 1, 2, 3, 13, 0, 1, 0, 5, 0, 0, 0}, 2, 54},
        {54, Request(14, 1, 9), 1, 54},
    };
    for (const auto& step : steps) {
        (step.from == 53 ? window53 : window54)
            .SendTo(step.datagram, "127.0.0.1", BoundPort(*window));
        (step.from == 53 ? peer53 : peer54).SendTo(step.datagram, "127.0.8.55", 21505);
        if (step.status == 0) {
            continue;
        }
        Bytes reply = step.datagram;
        reply[10] = static_cast<std::uint8_t>(step.status);
        const Bytes fromWindow = Next(step.replyTo == 53 ? window53 : window54);
        const Bytes fromPeer = Next(step.replyTo == 53 ? peer53 : peer54);
        EXPECT_EQ(fromWindow, reply) << "Seq " << Word(step.datagram, 4);
        EXPECT_EQ(fromPeer, fromWindow) << "Seq " << Word(step.datagram, 4);
    }
    EXPECT_EQ(window->CallMode, ModeIdle);
    answer.Signal(SIGTERM);
    const PeerResult answered = answer.Finish();
    EXPECT_EQ(answered.exitCode, 0);
    EXPECT_EQ(answered.summary["replies_sent"], 12);
    for (UdpPeer* socket : {&window53, &window54, &peer53, &peer54}) {
        EXPECT_TRUE(socket->Drain().empty());
    }
}
