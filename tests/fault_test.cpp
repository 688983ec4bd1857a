// Faults a tester meets: the outgoing file cut short or deleted while it streams, a full disk under
// the incoming file, an error on every tick, a flood of malformed datagrams. Each time the window
// must go on: nothing crashes, nothing it accepted is lost, and requests keep being answered.

#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>

#include "shell/ApplicationTitle.h"
#include "support/PhoneCalls.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace testsupport;
using controls::Caption;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__)
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

std::size_t FreeBytes(const fs::path& directory) {
    struct statvfs disk {};
    return ::statvfs(directory.c_str(), &disk) == 0 ? disk.f_bavail * disk.f_bsize : 0;
}

long MemoryInUse() {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer keeps freed blocks resident for a while: count the live ones only.
    return static_cast<long>(__sanitizer_get_current_allocated_bytes());
#else
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * ::sysconf(_SC_PAGESIZE);
#endif
}

Bytes Voice(int seq, const Bytes& payload) {
    return Zelk({seq, 1, 10, 0, static_cast<int>(payload.size())}, payload, 416);
}

class FaultTest : public VoiceFileTest {
  protected:
    void StartStreaming(const Bytes& file) {
        RemoveVoiceFiles();
        NewWindow();
        WriteFile(sendPath, file);
        window->bOpen->click();
        window->bTalk->click();
        ASSERT_TRUE(peer.Receive());  // the Talk request
    }

    // Appends the voice payloads reaching the peer to `stream` until it holds `size` bytes, then,
    // with `settle`, whatever more comes within a quiet while.
    void ReceiveVoice(Bytes& stream, std::size_t size, bool settle = true) {
        const auto append = [&](const Bytes& datagram) {
            EXPECT_EQ(datagram.size(), 416u);
            EXPECT_GT(Word(datagram, 12), 0) << "an empty voice datagram";
            const Bytes payload = Payload(datagram);
            stream.insert(stream.end(), payload.begin(), payload.end());
            ++voiceCount;
        };
        while (stream.size() < size) {
            const auto datagram = peer.Receive();
            ASSERT_TRUE(datagram) << stream.size() << " of " << size << " bytes came";
            append(datagram->bytes);
        }
        if (settle) {
            Pump(300ms);
            for (const auto& datagram : peer.Drain()) {
                append(datagram.bytes);
            }
        }
    }

    int voiceCount = 0;
};

TEST_F(FaultTest, OutgoingFileCutShortOrDeletedWhileStreaming) {
    const Bytes file = Pattern(4000, 1), appended = Pattern(1000, 2);
    for (const long cut : {0L, 300L, -1L}) {  // how far below the reading position; -1 deletes
        SCOPED_TRACE(cut);
        voiceCount = 0;
        StartStreaming(file);
        Bytes stream;
        ReceiveVoice(stream, 800, false);
        const auto position = static_cast<std::size_t>(::lseek(window->SendFile, 0, SEEK_CUR));
        Bytes expected = file;
        if (cut >= 0) {
            fs::resize_file(sendPath, position - cut);
            expected.resize(position);
        } else {
            fs::remove(sendPath);  // the open file keeps its bytes
        }
        ReceiveVoice(stream, expected.size());
        EXPECT_EQ(stream, expected);

        // Ticks go on, and a Ring is answered, refused while talking.
        controls::SetCaption(window->LMode, "-");
        EXPECT_TRUE(WaitFor([&] { return Caption(window->LMode) == "7"; }));
        Deliver(Request(9, 1, 5));
        EXPECT_EQ(Next(), Request(9, 1, 5, 2));

        if (cut >= 0) {  // what is appended later goes out from the reading position on
            WriteFile(sendPath, appended, true);
            expected.insert(expected.end(), appended.begin() + cut, appended.end());
            ReceiveVoice(stream, expected.size());
            EXPECT_EQ(stream, expected);
        }
        EXPECT_EQ(Caption(window->LSend), std::to_string(voiceCount));
    }
}

// The voice files lie beside the executable: a copy of this binary, on a disk barely larger than
// itself, runs the child test below.
TEST(FaultDiskFullTest, IncomingFileOnAFullDiskKeepsCountingAndAnswering) {
    if (!InTestNamespace()) {
        GTEST_SKIP() << "needs the test namespace's private mounts";
    }
    char name[] = "/tmp/udpphone-full.XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    const std::unique_ptr<char, void (*)(char*)> disk(
        name, [](char* directory) { ::umount2(directory, MNT_DETACH), ::rmdir(directory); });
    const std::size_t pages = (fs::file_size(shell::ExecutablePath()) + 4095) / 4096 + 8;
    const std::string options = "size=" + std::to_string(pages * 4096) + ",mode=700";
    ASSERT_EQ(::mount("tmpfs", name, "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()), 0)
        << std::strerror(errno);
    const fs::path copy = fs::path(name) / "fault_test";
    fs::copy_file(shell::ExecutablePath(), copy);
    WriteFile(fs::path(name) / "recv.au", {});

    QProcess child;  // killed, if still running, when the test ends
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("UDPPHONE_FAULT_CHILD", "1");
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QString::fromStdString(copy.string()), {"--gtest_filter=FaultDiskFullChild.*"});
    const bool finished = child.waitForFinished(90'000);
    const std::string output = child.readAll().toStdString();
    ASSERT_TRUE(finished) << output;
    EXPECT_TRUE(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << output;
}

using FaultDiskFullChild = PeerCallTest;

TEST_F(FaultDiskFullChild, WritesFailWhileCountingAndAnsweringGoOn) {
    if (std::getenv("UDPPHONE_FAULT_CHILD") == nullptr) {
        GTEST_SKIP() << "run by FaultDiskFullTest in a copy of this binary on a small disk";
    }
    const fs::path directory = shell::ExecutableDirectory();
    window->bOpen->click();
    ASSERT_GT(window->RecvFile, 0);
    const std::size_t room = FreeBytes(directory);
    ASSERT_LT(room, 64u << 10) << "not the small disk";

    Bytes stream;
    const int total = static_cast<int>(room / 400) + 30;
    for (int i = 1; i <= total; ++i) {
        const Bytes payload = Pattern(400, static_cast<std::uint8_t>(i));
        stream.insert(stream.end(), payload.begin(), payload.end());
        Deliver(Voice(i, payload));
        ASSERT_TRUE(WaitFor([&] { return Caption(window->LRecv) == std::to_string(i); })) << i;
        if (i == total - 10) {  // the disk is full: a Ring is still accepted
            Deliver(Request(7, 1, 5));
            EXPECT_EQ(Next(), Request(7, 1, 5, 1));
        }
    }
    EXPECT_EQ(FreeBytes(directory), 0u);
    stream.resize(room);
    EXPECT_EQ(ReadFile(directory / "recv.au"), stream);
    EXPECT_TRUE(Boxes().shown.empty());
}

TEST_F(FaultTest, AnErrorOnEveryTickForTenSecondsKeepsOneBoxAndMemoryFlat) {
    const struct {
        const char *eTarget, *eIP;
        bool answered;
        int mostProbesWaiting;  // a lookup in the way holds receiving back while it lasts
    } cases[] = {{"abc", "127.0.0.2", true, 2}, {"1", "x.invalid", false, 10}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.eIP);
        if (!InTestNamespace() && !c.answered) {
            continue;  // the name would reach the machine's own resolver
        }
        StartStreaming(Pattern(200'000, 3));
        controls::SetText(window->eTarget, c.eTarget);
        controls::SetText(window->eIP, c.eIP);
        controls::SetCaption(window->LMode, "-");
        const std::int32_t nextSeq = window->NextSeq;
        // The operator takes a second to close each box, while ticks and datagrams go on; after
        // the run every box closes at once, so even boxes nested without bound unwind.
        const auto end = Clock::now() + 10s;
        Boxes().whileOpen = [end](const RecordedBox&) {
            Pump(
                std::min(1000ms, std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now())));
        };

        // Every 200 ms the peer sends a Talk request and voice, and they are handled soon. Replies
        // reach it only while eIP resolves.
        int probes = 0, worstLag = 0;
        std::vector<std::string> replies, expectedReplies;
        const auto drain = [&] {
            for (const auto& datagram : peer.Drain()) {
                replies.push_back(Hex(datagram.bytes));
            }
        };
        QTimer probe;
        QObject::connect(&probe, &QTimer::timeout, [&] {
            drain();
            const int counted = std::stoi(Caption(window->LRecv));
            const int handled =
                std::min(counted, c.answered ? static_cast<int>(replies.size()) : counted);
            worstLag = std::max(worstLag, probes - handled);
            Deliver(Request(1000 + probes, 1, 7));
            Deliver(Voice(1, Pattern(10, 0)));
            if (c.answered) {
                expectedReplies.push_back(Hex(Request(1000 + probes, 1, 7, 1)));
            }
            ++probes;
        });
        probe.start(200);
        Pump(2s);
        const long early = MemoryInUse();
        Pump(8s);
        const long grown = MemoryInUse() - early;
        probe.stop();
        Boxes().whileOpen = nullptr;

        EXPECT_TRUE(WaitFor([&] { return Caption(window->LRecv) == std::to_string(probes); }));
        Pump(200ms);
        drain();
        EXPECT_EQ(replies, expectedReplies);
        EXPECT_GE(probes, 40);
        EXPECT_LE(worstLag, c.mostProbesWaiting);
        // Tick after tick read a chunk and failed, sending, counting and showing nothing; none
        // runs while a tick's own box is open.
        EXPECT_GE(::lseek(window->SendFile, 0, SEEK_CUR), 100 * 400);
        EXPECT_EQ(Caption(window->LSend), "0");
        EXPECT_EQ(Caption(window->LMode), "-");
        EXPECT_EQ(window->NextSeq, nextSeq);
        EXPECT_EQ(Boxes().mostOpenAtOnce, 1);
        EXPECT_GE(Boxes().shown.size(), 2u);
        EXPECT_LE(Boxes().shown.size(), 4u);
        EXPECT_LT(grown, 1L << 20) << early << " bytes in use at 2 s";
    }
}

TEST_F(FaultTest, MalformedFloodHidesNoValidRequest) {
    std::mt19937 random(5);
    const auto below = [&](int limit) {
        return std::uniform_int_distribution<int>(0, limit - 1)(random);
    };
    const auto randomFrom = [&](Bytes& d, std::size_t offset) {
        std::generate(d.begin() + static_cast<long>(offset), d.end(), [&] { return below(256); });
    };
    // Random bytes (too long to receive among them), truncated requests, first bytes other than
    // "z", replies of any length, and datagrams longer than a request (voice when Command is 10).
    const std::function<void(Bytes&)> spoil[] = {
        [&](Bytes& d) { d.resize(below(2101)), randomFrom(d, 0); },
        [&](Bytes& d) { d.resize(below(12)); },
        [&](Bytes& d) { d[0] = static_cast<std::uint8_t>('z' + 1 + below(255)); },
        [&](Bytes& d) { d[10 + below(2)] = 1 + below(255), d.resize(12 + below(420)); },
        [&](Bytes& d) { d.resize(13 + below(2088)), randomFrom(d, 12); },
    };
    // Requests of the peer in eIP, while idle: Ring, HangUp and Disconnect are accepted.
    const int commands[] = {5, 8, 9, 6, 10, 0, 0xFFFF};
    std::vector<std::string> expected, replies, expectedLog, log;
    int voice = 0;
    for (int round = 0; round < 300 && !HasFailure(); ++round) {
        const int floodSize = below(21);
        for (int i = 0; i <= floodSize; ++i) {
            Bytes datagram =
                Request(below(65536), 1, i < floodSize ? below(12) : commands[below(7)]);
            if (i < floodSize) {
                spoil[below(5)](datagram);
            }
            Deliver(datagram);
            const bool request =
                datagram.size() >= 12 && datagram[0] == 'z' && Word(datagram, 10) == 0;
            voice += request && datagram.size() > 12 && datagram.size() <= 2048 &&
                     Word(datagram, 8) == 10;
            if (request && datagram.size() == 12) {
                const int command = Word(datagram, 8);
                datagram[10] = command == 5 || command == 8 || command == 9 ? 1 : 2;
                expected.push_back(Hex(datagram));
                expectedLog.insert(expectedLog.begin(), "Read: 12" + Hex(datagram));
            }
        }
        // Waiting for the answers keeps the window's socket from overflowing.
        while (replies.size() < expected.size()) {
            const auto reply = peer.Receive();
            ASSERT_TRUE(reply) << "round " << round;
            replies.push_back(Hex(reply->bytes));
        }
    }
    Pump(200ms);
    for (const auto& datagram : peer.Drain()) {
        replies.push_back(Hex(datagram.bytes));
    }
    EXPECT_EQ(replies, expected);
    for (const QString& line : window->Memo1->toPlainText().split('\n')) {
        if (line.startsWith("Read: ")) {
            log.push_back(line.toStdString());
        }
    }
    EXPECT_EQ(log, expectedLog);
    EXPECT_EQ(Caption(window->LRecv), std::to_string(voice));
}

}  // namespace
