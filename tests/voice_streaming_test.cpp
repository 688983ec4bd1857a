// Voice streaming end to end: the real window and its timer, the voice files next to the test
// binary, and a peer socket at 127.0.0.2.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

#include "support/PhoneCalls.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace testsupport;
using controls::Caption;

namespace {

bool IsVoice(const Bytes& datagram) {
    return datagram.size() == 416 && Word(datagram, 8) == 10;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t to) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(std::min(to, bytes.size())));
}

// Everything `at` receives up to the `voices`-th voice datagram or, with `voices` 0, up to the
// first other one.
std::vector<Bytes> ReceiveThrough(UdpPeer& at, int voices) {
    std::vector<Bytes> all;
    int seen = 0;
    while (auto datagram = at.Receive()) {
        all.push_back(datagram->bytes);
        if (IsVoice(all.back()) ? ++seen == voices : voices == 0) {
            break;
        }
    }
    return all;
}

// Appends the voice payloads among `datagrams` to `stream`.
void Append(Bytes& stream, const std::vector<Bytes>& datagrams) {
    for (const Bytes& datagram : datagrams) {
        if (IsVoice(datagram)) {
            const Bytes payload = Payload(datagram);
            stream.insert(stream.end(), payload.begin(), payload.end());
        }
    }
}

using VoiceTest = VoiceFileTest;

TEST_F(VoiceTest, ThousandBytesGoOutAs400_400_200AfterRingAndTalk) {
    const Bytes file = Pattern(1000, 1);
    WriteFile(sendPath, file);
    WriteFile(recvPath, {});
    window->bOpen->click();
    EXPECT_EQ(window->bOpen->text(), "open ok");
    controls::SetText(window->eTarget, "-1");
    window->bRing->click();
    window->bTalk->click();

    const std::vector<Bytes> got = ReceiveThrough(peer, 3);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], Request(1, 0xFFFF, 5));
    EXPECT_EQ(got[1], Request(2, 0xFFFF, 7));
    for (int chunk = 0; chunk < 3; ++chunk) {
        const int length = chunk < 2 ? 400 : 200;
        const Bytes payload = Slice(file, 400 * chunk, 400 * chunk + length);
        EXPECT_EQ(got[chunk + 2], Zelk({chunk + 3, 0xFFFF, 10, 0, length}, payload, 416)) << chunk;
    }
    Pump(250ms);
    EXPECT_TRUE(peer.Drain().empty());
    EXPECT_EQ(Caption(window->LSend), "3");
    EXPECT_EQ(Caption(window->LMode), "7");
}

TEST_F(VoiceTest, StreamingPausesAndResumesAtTheNextUnsentByte) {
    const Bytes file = Pattern(4000, 3);
    WriteFile(sendPath, file);
    window->bOpen->click();
    UdpPeer third("127.0.0.3", peer.Port());
    const auto expectPaused = [&] {
        Pump(150ms);
        EXPECT_TRUE(peer.Drain().empty());
        EXPECT_EQ(Caption(window->LMode), "1");
    };

    Bytes stream;
    window->bTalk->click();
    Append(stream, ReceiveThrough(peer, 2));
    window->bDiscon->click();
    Append(stream, ReceiveThrough(peer, 0));
    EXPECT_EQ(Caption(window->LSend), std::to_string(stream.size() / 400));
    expectPaused();

    // The peer's own Talk and Disconnect requests resume and pause the same way.
    Deliver(Request(1, 1, 7));
    Append(stream, ReceiveThrough(peer, 1));
    Deliver(Request(2, 1, 9));
    Append(stream, ReceiveThrough(peer, 0));
    expectPaused();

    // A new eIP takes effect at the next tick; the port stays.
    controls::SetText(window->eIP, "127.0.0.3");
    window->bTalk->click();
    Append(stream, ReceiveThrough(third, 10 - static_cast<int>(stream.size() / 400)));
    EXPECT_EQ(stream, file);
    EXPECT_EQ(Caption(window->LSend), "10");
}

TEST_F(VoiceTest, IncomingVoiceOverwritesInPlaceAndNeverReachesPastTheBuffer) {
    const Bytes old = Pattern(20'000, 4);
    WriteFile(recvPath, old);
    window->bOpen->click();  // no outgoing file: the caption stays, receiving works alone
    EXPECT_EQ(window->bOpen->text(), "open");
    // Length, datagram size, and bytes written; from another host than eIP, while idle.
    const std::size_t cases[][3] = {
        {400, 416, 400},      {400, 416, 400},   {0x8000, 2048, 0},  {0xFFFF, 2048, 0},
        {0, 416, 0},          {10, 20, 10},      {2034, 2048, 2034}, {2035, 2048, 2034},
        {0x7FFF, 2048, 2034}, {2034, 416, 2034}, {5, 13, 5},
    };
    UdpPeer third("127.0.0.3");
    Bytes expected = old;
    std::size_t position = 0;
    int count = 0;
    for (const auto& [length, size, toWrite] : cases) {
        const Bytes payload = Pattern(size > 14 ? size - 14 : 0, static_cast<std::uint8_t>(count));
        // What arrived is written, and zeros for the rest of the length, even after a larger
        // datagram filled the socket's own buffer.
        const Bytes arrived = Slice(payload, 0, toWrite);
        const auto at = expected.begin() + static_cast<std::ptrdiff_t>(position);
        std::fill(std::copy(arrived.begin(), arrived.end(), at),
                  at + static_cast<std::ptrdiff_t>(toWrite), 0);
        position += toWrite;
        Deliver(Zelk({9, 1, 10, 0, static_cast<int>(length)}, payload, size), third);
        // A reply: neither written nor counted.
        Deliver(Zelk({9, 1, 10, 1, 400}, Pattern(402, 7)), third);
        ++count;
        ASSERT_TRUE(WaitFor([&] { return Caption(window->LRecv) == std::to_string(count); }));
        EXPECT_EQ(ReadFile(recvPath), expected) << "Length " << length;
    }
    Pump(100ms);
    EXPECT_EQ(Caption(window->LRecv), std::to_string(count));
}

TEST_F(VoiceTest, ReopeningRestartsSendingAndGivesUpTheIncomingFile) {
    const Bytes file = Pattern(2000, 5);
    WriteFile(sendPath, file);
    WriteFile(recvPath, {});
    // Standard input closed, as a program may be started.
    const int savedInput = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
    ::close(0);
    window->bOpen->click();
    ::dup2(savedInput, 0);
    ::close(savedInput);
    EXPECT_GT(window->SendFile, 0);
    EXPECT_GT(window->RecvFile, 0);
    EXPECT_EQ(window->bOpen->text(), "open ok");

    window->NextSeq = 65534;
    window->bTalk->click();
    std::vector<Bytes> got = ReceiveThrough(peer, 2);
    window->bDiscon->click();
    got.push_back(Next());
    std::vector<int> seqs;
    for (const Bytes& datagram : got) {
        seqs.push_back(Word(datagram, 4));
    }
    EXPECT_EQ(seqs, (std::vector<int>{65534, 65535, 1, 2}));  // voice wraps the counter to 1

    const auto openDescriptors = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), {});
    };
    const auto before = openDescriptors();
    for (int i = 0; i < 200; ++i) {
        window->bOpen->click();
    }
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_GT(window->SendFile, 0);
    EXPECT_EQ(window->RecvFile, -1);
    EXPECT_EQ(window->bOpen->text(), "open ok");
    window->bTalk->click();
    got = ReceiveThrough(peer, 1);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(Payload(got.back()), Slice(file, 0, 400));

    Deliver(Zelk({9, 1, 10, 0, 4}, Pattern(402, 6)));
    ASSERT_TRUE(WaitFor([&] { return Caption(window->LRecv) == "1"; }));
    EXPECT_TRUE(ReadFile(recvPath).empty());
}

TEST_F(VoiceTest, OnlyExistingUnlockedRegularFilesOpen) {
    auto other = MakeWindow("127.0.0.2", peer.Port());
    int lockHolder = -1;
    const auto bothFiles = [&] {
        WriteFile(sendPath, {1});
        WriteFile(recvPath, {});
    };
    const struct {
        const char* name;
        std::function<void()> prepare;
        bool sendOpens, recvOpens;
    } cases[] = {
        {"only send.au", [&] { WriteFile(sendPath, {1}); }, true, false},
        {"eFile empty, naming the directory",
         [&] { bothFiles(), controls::SetText(window->eFile, ""); }, false, true},
        {"directories", [&] { fs::create_directory(sendPath), fs::create_directory(recvPath); },
         false, false},
        {"pipes", [&] { ::mkfifo(sendPath.c_str(), 0600), ::mkfifo(recvPath.c_str(), 0600); },
         false, false},
        {"incoming locked by another opener",
         [&] {
             bothFiles();
             lockHolder = ::open(recvPath.c_str(), O_RDONLY | O_CLOEXEC);
             ::flock(lockHolder, LOCK_EX);
         },
         true, false},
        {"incoming held by another window", [&] { bothFiles(), other->bOpen->click(); }, true,
         false},
        {"both missing", [] {}, false, false},
    };
    for (const auto& c : cases) {
        RemoveVoiceFiles();
        controls::SetText(window->eFile, "send.au");
        c.prepare();
        window->bOpen->click();
        EXPECT_EQ(window->SendFile > 0, c.sendOpens) << c.name;
        EXPECT_EQ(window->RecvFile > 0, c.recvOpens) << c.name;
        EXPECT_EQ(window->bOpen->text(), "open") << c.name;
    }
    EXPECT_FALSE(fs::exists(sendPath) || fs::exists(recvPath));
    EXPECT_GT(other->RecvFile, 0);
    ::close(lockHolder);
}

// Opening a pipe would release the writer waiting in an open of its other end: the open button
// must never get that far.
TEST_F(VoiceTest, APipeNamedInEFileIsNeverOpened) {
    ASSERT_EQ(::mkfifo(sendPath.c_str(), 0600), 0);
    std::atomic<pid_t> writer = 0;
    std::atomic<bool> released = false;
    std::thread thread([&] {
        writer = ::gettid();
        ::close(::open(sendPath.c_str(), O_WRONLY | O_CLOEXEC));
        released = true;
    });
    EXPECT_TRUE(WaitFor([&] {
        long number = -1;
        std::ifstream(fs::path("/proc/self/task") / std::to_string(writer) / "syscall") >> number;
        return number == SYS_openat;
    }));
    window->bOpen->click();
    EXPECT_EQ(window->SendFile, -1);
    EXPECT_FALSE(WaitFor([&] { return released.load(); }, 500ms));
    ::close(::open(sendPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));  // lets the writer go
    thread.join();
}

// Two windows ring each other: the caller streams its file, the callee stores it byte for byte
// and, talking as well, streams the same file back.
TEST_F(VoiceTest, TwoWindowsCallAndStreamAFile) {
    const Bytes file = Pattern(3000, 8);
    WriteFile(sendPath, file);
    auto caller = MakeWindow("127.0.0.1");
    auto callee = MakeWindow("127.0.0.5", BoundPort(*caller));
    controls::SetText(caller->ePort, std::to_string(BoundPort(*callee)));
    controls::SetText(caller->eTarget, "42");
    caller->bOpen->click();  // before recv.au exists: the caller only sends
    WriteFile(recvPath, {});
    callee->bOpen->click();
    ASSERT_EQ(callee->bOpen->text(), "open ok");

    caller->bRing->click();
    caller->bTalk->click();
    ASSERT_TRUE(WaitFor([&] { return Caption(callee->LRecv) == "8"; }));
    EXPECT_EQ(ReadFile(recvPath), file);
    EXPECT_EQ(controls::Text(callee->eIP), "127.0.0.1");
    EXPECT_EQ(controls::Text(callee->eTarget), "42");
    ASSERT_TRUE(WaitFor([&] { return Caption(caller->LRecv) == "8"; }));
    EXPECT_EQ(Caption(caller->LSend), "8");

    caller->bDiscon->click();
    ASSERT_TRUE(WaitFor([&] { return callee->CallMode == ModeIdle; }));
    ASSERT_TRUE(WaitUntilSettled());
    EXPECT_EQ(callee->Memo1->toPlainText().toStdString(),
              "Read: 12 7A 65 6C 6B 0B 00 2A 00 09 00 01 00\nSend: 2A 09\n"
              "Read: 12 7A 65 6C 6B 02 00 2A 00 07 00 01 00\nSend: 2A 07\n"
              "Read: 12 7A 65 6C 6B 01 00 2A 00 05 00 01 00\nSend: 2A 05\nDial: 42\nMemo1");
    EXPECT_EQ(caller->Memo1->toPlainText().toStdString(), "Memo1");  // replies log nothing
    EXPECT_EQ(Caption(callee->LSend), "8");
}

}  // namespace
