// --pcap read back by tshark with the project's dissector: every datagram whole, with the
// addresses, ports and bytes it had on the wire, also where a socket is bound to 0.0.0.0.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>

#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

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

// The packet blocks at the start of a pcapng stream that are there whole.
int PacketBlocks(const std::string& bytes) {
    int packets = 0;
    for (std::size_t at = 0; at + 8 <= bytes.size();) {
        std::uint32_t type = 0, length = 0;
        std::memcpy(&type, bytes.data() + at, 4);
        std::memcpy(&length, bytes.data() + at + 4, 4);
        if (length < 12 || at + length > bytes.size()) {
            break;
        }
        packets += type == 6 ? 1 : 0;
        at += length;
    }
    return packets;
}

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// The records' times as tshark reads them, in file order, in nanoseconds.
std::vector<long long> Times(const QString& capture) {
    std::vector<long long> times;
    for (const std::string& row : Tshark(capture, {"frame.time_epoch"})) {
        const auto dot = row.find('.');
        times.push_back(std::stoll(row.substr(0, dot)) * 1'000'000'000 +
                        std::stoll((row.substr(dot + 1) + "000000000").substr(0, 9)));
    }
    return times;
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

    const QStringList fields = {
        "frame.time_epoch", "ip.src",      "udp.srcport",        "ip.dst",
        "udp.dstport",      "udp.payload", "ip.checksum.status", "udp.checksum.status",
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
        // The records in time order, which is not always the order datagrams were handled in:
        // a reply stamped on arrival may be handled after the next voice chunk went out.
        const QString file = Path(calling ? "call.pcapng" : "answer.pcapng");
        const std::vector<long long> times = Times(file);
        EXPECT_TRUE(std::is_sorted(times.begin(), times.end())) << (calling ? "call" : "answer");
        std::vector<std::string> rows;
        for (const std::string& row : Tshark(file, fields)) {
            rows.push_back(row.substr(row.find('|') + 1));
        }
        std::sort(rows.begin(), rows.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(rows, expected) << (calling ? "call" : "answer");
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
        {"/dev/full", "--pcap: \"/dev/full\" is a character device"},
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

TEST_F(PeerCaptureTest, RecordsGoInTimeOrder) {
    // load takes the replies to a batch after it sent the next one, so their arrival stamps are
    // older than sends handled before them.
    PeerProcess answer(Words("answer --bind 127.0.9.21 --local-port 22621 --reply-to-sender "
                             "--quiet --json --pcap")
                       << Path("answer.pcapng"));
    ASSERT_TRUE(answer.WaitUntilAnswering());
    const PeerResult load =
        RunPeer(Words("load 127.0.9.21:22621 --bind 127.0.9.22 --local-port "
                      "0 --rate 5000 --duration 0.2 --timeout 10000 --quiet --json --pcap")
                << Path("load.pcapng"));
    answer.Signal(SIGTERM);
    const PeerResult answered = answer.Finish();
    ASSERT_EQ(load.exitCode, 0) << load.out << load.err;
    for (const auto& [file, run] :
         {std::pair{"load.pcapng", &load}, {"answer.pcapng", &answered}}) {
        const std::vector<long long> times = Times(Path(file));
        EXPECT_EQ(times.size(), 2000u) << file;
        EXPECT_EQ(run->summary["capture"]["datagrams"], times.size()) << file;
        const auto back = std::is_sorted_until(times.begin(), times.end());
        EXPECT_TRUE(back == times.end()) << file << ": record " << back - times.begin();
    }
}

TEST_F(PeerCaptureTest, TheCaptureIsWrittenAsTheRunGoes) {
    // Into a file at least once a second, so that even a killed run leaves what came before it;
    // into a pipe (standard output here) each record as soon as it is final, the lines and the
    // summary going to standard error.
    for (const QString& pcap : {Path("killed.pcapng"), QString("-")}) {
        const bool live = pcap == "-";
        PeerProcess answer(Words("answer --bind 127.0.9.11 --local-port 22611 --reply-to-sender "
                                 "--json --pcap")
                           << pcap);
        ASSERT_TRUE(answer.WaitUntilAnswering());
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(RunPeer(Words("send 127.0.9.11:22611 --bind 127.0.9.12 --local-port 0 "
                                    "--quiet --timeout 10000"))
                          .exitCode,
                      0);
        }
        // Both Rings and their replies, while the run goes on.
        EXPECT_TRUE(answer.WaitUntil(
            [&](const std::string& out, const std::string&) {
                return PacketBlocks(live ? out : Text(ReadFile(pcap.toStdString()))) == 4;
            },
            std::chrono::seconds(5)))
            << pcap.toStdString();
        answer.Signal(live ? SIGTERM : SIGKILL);
        const PeerResult run = answer.Finish();
        const QString file = live ? Path("live.pcapng") : pcap;
        if (live) {
            EXPECT_EQ(run.exitCode, 0) << run.err;
            EXPECT_EQ(run.out.rfind("\n\r\r\n", 0), 0u);  // the capture, and nothing else
            EXPECT_EQ(run.out.find("summary"), std::string::npos);
            EXPECT_NE(run.err.find("\"dir\":\"in\""), std::string::npos) << run.err;
            EXPECT_NE(run.err.find("{\"summary\":"), std::string::npos) << run.err;
            WriteFile(file.toStdString(), Bytes(run.out.begin(), run.out.end()));
        }
        EXPECT_EQ(Tshark(file, {"udpphone.shape"}),
                  (std::vector<std::string>{"request", "reply", "request", "reply"}));
    }
}

TEST_F(PeerCaptureTest, ACaptureOnAFullDiskHoldsWholeBlocksAndSaysSo) {
    if (!InTestNamespace()) {
        GTEST_SKIP() << "needs the test namespace's private mounts";
    }
    char name[] = "/tmp/udpphone-pcap.XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    const std::unique_ptr<char, void (*)(char*)> disk(
        name, [](char* folder) { ::umount2(folder, MNT_DETACH), ::rmdir(folder); });
    ASSERT_EQ(::mount("tmpfs", name, "tmpfs", MS_NOSUID | MS_NODEV, "size=16k"), 0)
        << std::strerror(errno);
    UdpPeer receiver("127.0.9.31");
    const QStringList load =
        Words("load 127.0.9.31:" + QString::number(receiver.Port()) +
              " --bind 127.0.9.32 --local-port 0 --kind voice --rate 2000 --duration 0.2 --quiet "
              "--json --pcap");
    // 400 voice datagrams of 476 bytes each in the capture: some 30 fit.
    const QString first = QString(name) + "/first.pcapng";
    const PeerResult cut = RunPeer(load + QStringList{first});
    EXPECT_EQ(cut.exitCode, 2) << cut.err;
    EXPECT_EQ(cut.summary["verdict"], "error");
    EXPECT_EQ(cut.summary["voice_sent"], 400);
    EXPECT_NE(cut.err.find("No space left on device"), std::string::npos) << cut.err;
    const int written = cut.summary["capture"]["datagrams"];
    EXPECT_GT(written, 10);
    EXPECT_LT(written, 40);
    EXPECT_EQ(Tshark(first, {"frame.number"}).size(), static_cast<std::size_t>(written));
    EXPECT_EQ(ReadFile(first.toStdString()).size() % 4, 0u);
    receiver.Drain();

    // Full to the last byte: the header cannot be written, and nothing is sent.
    WriteFile(std::string(name) + "/filler", Bytes(16 << 10, 0));
    const PeerResult refused = RunPeer(load + QStringList{QString(name) + "/second.pcapng"});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find("--pcap: cannot write"), std::string::npos) << refused.err;
    EXPECT_TRUE(receiver.Drain().empty());
}
