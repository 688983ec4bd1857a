// --pcap read back by tshark with the project's dissector: every datagram whole, with the
// addresses, ports and bytes it had on the wire, also where a socket is bound to 0.0.0.0.

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "support/PeerProcess.h"
#include "support/PhoneCalls.h"
#include "support/Tshark.h"

using namespace testsupport;

namespace {

// One row a packet, its fields separated by "|"; checksums are verified.
std::vector<std::string> Tshark(const QString& file, const QStringList& fields) {
    return TsharkFields(file, fields,
                        {"-o", "ip.check_checksum:TRUE", "-o", "udp.check_checksum:TRUE"});
}

class PeerCaptureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const auto reason = TsharkUnusable()) {
            GTEST_SKIP() << *reason;
        }
    }
    QString Path(const QString& name) const { return directory.filePath(name); }
    QTemporaryDir directory;
};

}  // namespace

TEST_F(PeerCaptureTest, SendCapturesEveryDatagramWholeAsTheReceiverGotIt) {
    UdpPeer receiver("127.0.8.71");
    const std::string to = "127.0.8.71:" + std::to_string(receiver.Port());
    // Bound to 0.0.0.0 or to an address; up to past the window's 2048 bytes. Nothing answers.
    const struct {
        std::size_t size;
        const char* bind;
        const char* shape;
    } sends[] = {{0, "0.0.0.0", ""},         {1, "127.0.8.72", ""},
                 {12, "0.0.0.0", "request"}, {416, "127.0.8.72", "voice"},
                 {2048, "0.0.0.0", "voice"}, {2049, "127.0.8.72", ""},
                 {2100, "0.0.0.0", ""},      {65507, "127.0.8.72", ""}};
    for (const auto& send : sends) {
        Bytes bytes = Pattern(send.size, static_cast<std::uint8_t>(send.size));
        if (send.size >= 12) {
            // Voice to the window when it fits its buffer: "zelk", Command 10, Status 0.
            const Bytes head = Zelk({1, 1, 10, 0});
            std::copy(head.begin(), head.end(), bytes.begin());
            if (send.size == 12) {
                bytes[8] = 5;
            }
        }
        const QString file = Path(QString("send-%1.pcapng").arg(send.size));
        const PeerResult run =
            RunPeer({"send", QString::fromStdString(to), "--bind", send.bind, "--local-port", "0",
                     "--hex", QString::fromStdString(HexOf(bytes)), "--expect-status", "none",
                     "--timeout", "100", "--pcap", file, "--quiet"});
        ASSERT_EQ(run.exitCode, 0) << send.size << run.err;
        const auto got = receiver.Receive();
        ASSERT_TRUE(got) << send.size;
        ASSERT_EQ(got->bytes, bytes) << send.size;

        auto rows =
            Tshark(file, {"ip.src", "udp.srcport", "ip.dst", "udp.dstport", "ip.checksum.status",
                          "udp.checksum.status", "udpphone.shape", "udp.payload"});
        ASSERT_EQ(rows.size(), 1u) << send.size;
        const std::string payload = rows[0].substr(rows[0].rfind('|') + 1);
        EXPECT_TRUE(payload == HexOf(bytes)) << send.size << ": " << payload.size() / 2 << " bytes";
        rows[0].resize(rows[0].rfind('|'));
        // The source is the one the receiver saw: the kernel's choice where bound to 0.0.0.0.
        // The dissector claims only what may be the protocol's on another port than 20080.
        EXPECT_EQ(rows[0], got->fromAddress + "|" + std::to_string(got->fromPort) + "|127.0.8.71|" +
                               std::to_string(receiver.Port()) + "|1|1|" + send.shape)
            << send.size;
    }
}

TEST_F(PeerCaptureTest, ACallIsCapturedOnBothSidesAsEachReportedIt) {
    WriteFile(Path("a").toStdString(), Pattern(1'234, 1));
    WriteFile(Path("b").toStdString(), Pattern(987, 2));
    // The answering side is bound to 0.0.0.0: its capture takes where datagrams arrived from
    // IP_PKTINFO, and its replies and voice leave from that address.
    PeerProcess answer({"answer", "--local-port", "21701", "--peer-port", "21702", "--play",
                        Path("b"), "--until", "disconnect", "--duration", "30", "--json", "--pcap",
                        Path("answer.pcapng")});
    ASSERT_TRUE(answer.WaitUntilAnswering());
    const PeerResult call = RunPeer({"call", "127.0.8.73:21701", "--bind", "127.0.8.74",
                                     "--local-port", "21702", "--play", Path("a"), "--talk-seconds",
                                     "1", "--json", "--pcap", Path("call.pcapng")});
    const PeerResult answered = answer.Finish();
    ASSERT_EQ(call.exitCode, 0) << call.out << call.err;
    ASSERT_EQ(answered.exitCode, 0) << answered.out << answered.err;
    EXPECT_EQ(
        call.summary["capture"]["datagrams"],
        call.summary["datagrams_sent"].get<int>() + call.summary["datagrams_received"].get<int>());

    const QStringList fields = {"ip.src",
                                "udp.srcport",
                                "ip.dst",
                                "udp.dstport",
                                "udp.payload",
                                "ip.checksum.status",
                                "udp.checksum.status",
                                "udpphone.shape"};
    std::string answerAddress;  // where the replies came from, as the caller saw them
    for (const auto* side : {&call, &answered}) {
        const bool calling = side == &call;
        std::vector<std::string> expected;
        for (const auto& line : side->lines) {
            if (!line.contains("dir")) {
                continue;
            }
            const std::string peer = line["peer"];
            const std::string peerAddress = peer.substr(0, peer.find(':'));
            const std::string peerPort = peer.substr(peer.find(':') + 1);
            const bool out = line["dir"] == "out";
            if (calling && !out) {
                answerAddress = peerAddress;
            }
            const std::string self = calling ? "127.0.8.74" : (out ? answerAddress : "127.0.8.73");
            const std::string selfPort = calling ? "21702" : "21701";
            const std::string shape = line["kind"] == "ignored" ? "dropped" : line["kind"];
            expected.push_back((out ? self + "|" + selfPort + "|" + peerAddress + "|" + peerPort
                                    : peerAddress + "|" + peerPort + "|" + self + "|" + selfPort) +
                               "|" + line["hex"].get<std::string>() + "|1|1|" + shape);
        }
        EXPECT_EQ(Tshark(Path(calling ? "call.pcapng" : "answer.pcapng"), fields), expected)
            << (calling ? "call" : "answer");
    }
    // Asked on 127.0.8.73, it answers from there, not from the route's choice (127.0.0.1).
    EXPECT_EQ(answerAddress, "127.0.8.73");
}

TEST_F(PeerCaptureTest, ACaptureThatCannotBeWrittenEndsTheRunBeforeAnythingIsSent) {
    UdpPeer listener("127.0.8.75");
    const QString host = "127.0.8.75:" + QString::number(listener.Port());
    const struct {
        QString file;
        const char* message;
    } cases[] = {
        {"/dev/full", "--pcap: cannot write \"/dev/full\": No space left on device"},
        {directory.path(), "Is a directory"},
        {Path("no/such/folder/x.pcapng"), "--pcap: cannot open"},
    };
    for (const auto& c : cases) {
        for (const QString command : {"call", "send", "load", "run"}) {
            QStringList arguments = {command};
            if (command == "run") {
                arguments << UDPPHONE_SOURCE_DIR "/scenarios/stranger-talk.scenario";
            }
            // A port of its own: the program's tests hold 20080 meanwhile.
            arguments << host << "--bind"
                      << "127.0.8.76"
                      << "--local-port"
                      << "0"
                      << "--pcap" << c.file;
            const PeerResult run = RunPeer(arguments);
            EXPECT_EQ(run.exitCode, 2) << arguments.join(' ').toStdString();
            EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        }
    }
    EXPECT_TRUE(listener.Drain().empty());
}
