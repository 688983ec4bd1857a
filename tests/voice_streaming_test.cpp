// Voice streaming end to end: the real window and its timer, the voice files next to the test
// binary, and a peer socket at 127.0.0.2.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <vector>

#include "app/Controls.h"
#include "shell/ApplicationTitle.h"
#include "support/EventWaits.h"
#include "support/RecordingBoxes.h"
#include "support/TestWindows.h"
#include "support/UdpPeer.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using controls::Caption;
using testsupport::Pump;
using testsupport::UdpPeer;
using testsupport::WaitFor;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes Pattern(std::size_t size, std::uint8_t seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 13 + i / 256);
    }
    return bytes;
}

std::uint16_t Word(const Bytes& bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

bool IsVoice(const Bytes& datagram) {
    return datagram.size() == 416 && Word(datagram, 8) == 10;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t to) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

Bytes Payload(const Bytes& datagram) {
    return Slice(datagram, 14, 14u + Word(datagram, 12));
}

// Pattern bytes under a header of Command `command`, Status `status` and `length`, cut to `size`.
Bytes Incoming(std::size_t size, std::int16_t length, std::uint8_t seed, std::uint8_t command = 10,
               std::uint8_t status = 0) {
    Bytes bytes = Pattern(std::max<std::size_t>(size, 14), seed);
    const std::uint8_t header[] = {'z', 'e', 'l', 'k', 9, 0, 1, 0, command, 0, status, 0};
    std::copy_n(header, sizeof header, bytes.begin());
    bytes[12] = static_cast<std::uint8_t>(length & 0xFF);
    bytes[13] = static_cast<std::uint8_t>((length >> 8) & 0xFF);
    bytes.resize(size);
    return bytes;
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Everything `at` receives up to and including the first datagram for which `last` holds.
std::vector<Bytes> ReceiveThrough(UdpPeer& at, std::function<bool(const Bytes&)> last) {
    std::vector<Bytes> all;
    while (auto datagram = at.Receive()) {
        all.push_back(datagram->bytes);
        if (last(all.back())) {
            break;
        }
    }
    return all;
}

auto NthVoice(int count) {
    return [count, seen = 0](const Bytes& datagram) mutable {
        return IsVoice(datagram) && ++seen == count;
    };
}

auto Command(std::uint8_t command) {
    return [command](const Bytes& datagram) { return datagram[8] == command; };
}

// The voice payloads among `datagrams`, appended to `stream` in order.
void AppendPayloads(Bytes& stream, const std::vector<Bytes>& datagrams) {
    for (const Bytes& datagram : datagrams) {
        if (IsVoice(datagram)) {
            const Bytes payload = Payload(datagram);
            stream.insert(stream.end(), payload.begin(), payload.end());
        }
    }
}

class VoiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::ResetBoxes();
        RemoveFiles();
        controls::SetText(window->ePort, std::to_string(peer.Port()));
    }
    void TearDown() override { RemoveFiles(); }

    // Windows keep their voice files open, and the lock on the incoming one, until the process
    // ends: every test starts on new files.
    void RemoveFiles() {
        fs::remove_all(sendPath);
        fs::remove_all(recvPath);
    }

    void Deliver(UdpPeer& from, const Bytes& bytes) {
        from.SendTo(bytes, "127.0.0.1", testsupport::BoundPort(*window));
    }

    const fs::path sendPath = fs::path(shell::ExecutableDirectory()) / "send.au";
    const fs::path recvPath = fs::path(shell::ExecutableDirectory()) / "recv.au";
    UdpPeer peer{"127.0.0.2"};
    std::unique_ptr<TForm1> window = testsupport::MakeWindow("127.0.0.2", peer.Port());
};

TEST_F(VoiceTest, ThousandBytesGoOutAs400_400_200AfterRingAndTalk) {
    const Bytes file = Pattern(1000, 1);
    WriteFile(sendPath, file);
    WriteFile(recvPath, {});
    window->bOpen->click();
    EXPECT_EQ(window->bOpen->text(), "open ok");
    controls::SetText(window->eTarget, "-1");
    window->bRing->click();
    window->bTalk->click();

    const std::vector<Bytes> got = ReceiveThrough(peer, NthVoice(3));
    ASSERT_EQ(got.size(), 5u);
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(Word(got[i], 4), i + 1) << "Seq of datagram " << i;
        EXPECT_EQ(Word(got[i], 6), 0xFFFF);
    }
    for (std::size_t chunk = 0; chunk < 3; ++chunk) {
        const Bytes& voice = got[chunk + 2];
        const Bytes fields =
            chunk < 2 ? Bytes{10, 0, 0, 0, 0x90, 0x01} : Bytes{10, 0, 0, 0, 200, 0};
        ASSERT_EQ(voice.size(), 416u);
        EXPECT_EQ(Slice(voice, 8, 14), fields);  // Command, Status, Length 400 or 200
        EXPECT_EQ(Payload(voice),
                  Slice(file, 400 * chunk, std::min<std::size_t>(1000, 400 * chunk + 400)));
        EXPECT_EQ(Slice(voice, 14 + Word(voice, 12), 416), Bytes(402 - Word(voice, 12), 0));
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
    AppendPayloads(stream, ReceiveThrough(peer, NthVoice(2)));
    window->bDiscon->click();
    AppendPayloads(stream, ReceiveThrough(peer, Command(9)));
    EXPECT_EQ(Caption(window->LSend), std::to_string(stream.size() / 400));
    expectPaused();

    // The peer's own Talk and Disconnect requests resume and pause the same way.
    Deliver(peer, Incoming(12, 0, 0, 7));
    AppendPayloads(stream, ReceiveThrough(peer, NthVoice(1)));
    Deliver(peer, Incoming(12, 0, 0, 9));
    AppendPayloads(stream, ReceiveThrough(peer, Command(9)));
    expectPaused();

    // A new eIP takes effect at the next tick; the port stays.
    controls::SetText(window->eIP, "127.0.0.3");
    window->bTalk->click();
    AppendPayloads(stream,
                   ReceiveThrough(third, NthVoice(10 - static_cast<int>(stream.size() / 400))));
    EXPECT_EQ(stream, file);
    EXPECT_EQ(Caption(window->LSend), "10");
}

TEST_F(VoiceTest, IncomingVoiceOverwritesInPlaceAndNeverReachesPastTheBuffer) {
    const Bytes old = Pattern(20'000, 4);
    WriteFile(recvPath, old);
    window->bOpen->click();  // no outgoing file: the caption stays, receiving works alone
    EXPECT_EQ(window->bOpen->text(), "open");
    const struct {
        std::int16_t length;
        std::size_t size, written;
    } cases[] = {
        {400, 416, 400},     {400, 416, 400},   {-32768, 2048, 0},  {-1, 2048, 0},
        {0, 416, 0},         {10, 20, 10},      {2034, 2048, 2034}, {2035, 2048, 2034},
        {32767, 2048, 2034}, {2034, 416, 2034}, {5, 13, 5},
    };
    // From another host than eIP, while idle.
    UdpPeer third("127.0.0.3");
    Bytes written;
    int count = 0;
    for (const auto& c : cases) {
        const Bytes voice = Incoming(c.size, c.length, static_cast<std::uint8_t>(count));
        // What arrived is written, and zeros for the rest of the length, even after a larger
        // datagram filled the socket's own buffer.
        const std::size_t arrived = std::min(c.written, c.size > 14 ? c.size - 14 : 0);
        written.insert(written.end(), voice.begin() + 14,
                       voice.begin() + 14 + static_cast<std::ptrdiff_t>(arrived));
        written.resize(written.size() + c.written - arrived, 0);
        Deliver(third, voice);
        Deliver(third, Incoming(416, 400, 7, 10, 1));  // a reply: neither written nor counted
        ++count;
        ASSERT_TRUE(WaitFor([&] { return Caption(window->LRecv) == std::to_string(count); }));
        Bytes expected = written;
        expected.insert(expected.end(), old.begin() + static_cast<std::ptrdiff_t>(written.size()),
                        old.end());
        EXPECT_EQ(ReadFile(recvPath), expected) << "Length " << c.length;
    }
    Pump(100ms);
    EXPECT_EQ(Caption(window->LRecv), std::to_string(count));
}

TEST_F(VoiceTest, SecondOpenRestartsSendingAndGivesUpTheIncomingFile) {
    const Bytes file = Pattern(2000, 5);
    WriteFile(sendPath, file);
    WriteFile(recvPath, {});
    window->bOpen->click();
    window->NextSeq = 65534;
    window->bTalk->click();
    // Voice wraps the counter to 1 after 65535.
    std::vector<Bytes> got = ReceiveThrough(peer, NthVoice(2));
    window->bDiscon->click();
    for (const Bytes& datagram : ReceiveThrough(peer, Command(9))) {
        got.push_back(datagram);
    }
    ASSERT_EQ(got.size(), 4u);
    const std::uint16_t seqs[] = {65534, 65535, 1, 2};
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(Word(got[i], 4), seqs[i]);
    }

    window->bOpen->click();
    EXPECT_GT(window->SendFile, 0);
    EXPECT_EQ(window->RecvFile, -1);
    EXPECT_EQ(window->bOpen->text(), "open ok");
    window->bTalk->click();
    got = ReceiveThrough(peer, NthVoice(1));
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(Payload(got.back()), Slice(file, 0, 400));

    Deliver(peer, Incoming(416, 4, 6));
    ASSERT_TRUE(WaitFor([&] { return Caption(window->LRecv) == "1"; }));
    EXPECT_TRUE(ReadFile(recvPath).empty());
}

TEST_F(VoiceTest, OnlyExistingUnlockedRegularFilesOpen) {
    auto other = testsupport::MakeWindow("127.0.0.2", peer.Port());
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
        {"both missing", [] {}, false, false},
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
    };
    for (const auto& c : cases) {
        RemoveFiles();
        controls::SetText(window->eFile, "send.au");
        c.prepare();
        window->bOpen->click();
        EXPECT_EQ(window->SendFile > 0, c.sendOpens) << c.name;
        EXPECT_EQ(window->RecvFile > 0, c.recvOpens) << c.name;
        EXPECT_EQ(window->bOpen->text(), "open") << c.name;
    }
    ::close(lockHolder);
    EXPECT_GT(other->RecvFile, 0);
    RemoveFiles();
    window->bOpen->click();
    EXPECT_FALSE(fs::exists(sendPath) || fs::exists(recvPath));
}

TEST_F(VoiceTest, RepeatedOpensKeepDescriptorsAndNeverUseDescriptorZero) {
    WriteFile(sendPath, {1});
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

    const auto openDescriptors = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), {});
    };
    const auto before = openDescriptors();
    for (int i = 0; i < 200; ++i) {
        window->bOpen->click();
    }
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_GT(window->SendFile, 0);
}

TEST_F(VoiceTest, TargetConversionErrorLosesTheChunkOfThatTick) {
    const Bytes file = Pattern(4000, 7);
    WriteFile(sendPath, file);
    window->bOpen->click();
    ASSERT_TRUE(WaitFor([&] { return Caption(window->LMode) == "1"; }));
    window->bTalk->click();
    controls::SetText(window->eTarget, "abc");  // before any tick can send
    ASSERT_TRUE(WaitFor([] { return !testsupport::Boxes().shown.empty(); }));
    EXPECT_EQ(testsupport::Boxes().shown[0].text, "'abc' は整数ではありません.");
    Pump(100ms);
    EXPECT_EQ(Caption(window->LMode), "1");  // failed ticks do not refresh it
    EXPECT_EQ(Caption(window->LSend), "0");
    EXPECT_EQ(window->NextSeq, 2);

    controls::SetText(window->eTarget, "1");
    const std::vector<Bytes> got = ReceiveThrough(peer, NthVoice(1));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(Word(got[1], 4), 2);
    // A later chunk: every failed tick used one up.
    std::size_t chunk = 0;
    while (chunk < 10 && Slice(file, 400 * chunk, 400 * chunk + 400) != Payload(got[1])) {
        ++chunk;
    }
    EXPECT_GE(chunk, 1u);
    EXPECT_LT(chunk, 10u);
    EXPECT_TRUE(WaitFor([&] { return Caption(window->LMode) == "7"; }));
}

// Two windows ring each other: the caller streams its file, the callee stores it byte for byte
// and, talking as well, streams the same file back.
TEST_F(VoiceTest, TwoWindowsCallAndStreamAFile) {
    const Bytes file = Pattern(3000, 8);
    WriteFile(sendPath, file);
    auto caller = testsupport::MakeWindow("127.0.0.1");
    auto callee = testsupport::MakeWindow("127.0.0.5", testsupport::BoundPort(*caller));
    controls::SetText(caller->ePort, std::to_string(testsupport::BoundPort(*callee)));
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
    EXPECT_EQ(callee->Memo1->toPlainText().toStdString(),
              "Read: 12 7A 65 6C 6B 0B 00 2A 00 09 00 01 00\nSend: 2A 09\n"
              "Read: 12 7A 65 6C 6B 02 00 2A 00 07 00 01 00\nSend: 2A 07\n"
              "Read: 12 7A 65 6C 6B 01 00 2A 00 05 00 01 00\nSend: 2A 05\nDial: 42\nMemo1");
    EXPECT_EQ(caller->Memo1->toPlainText().toStdString(), "Memo1");  // replies log nothing
    EXPECT_EQ(Caption(callee->LSend), "8");
}

}  // namespace
