// Scenarios: faults found before anything is sent; a call saved by `call` and by `answer`,
// replayed against an endpoint with the same rules (passes) and one with a rule changed (fails,
// naming the step); the shipped scenarios against the window itself.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "peer/Addresses.h"
#include "peer/PeerError.h"
#include "peer/scenario/Scenario.h"
#include "phone/CallRules.h"
#include "support/PeerProcess.h"
#include "support/PhoneCalls.h"

using namespace testsupport;

namespace {

// An answering endpoint of the test's own: the window's rules, but for one change.
class Responder {
  public:
    enum class Change { RefuseTalk, AnswerTwice };
    Responder(const std::string& address, std::uint16_t port, std::uint16_t peerPort, Change change)
        : peerPort_(peerPort), change_(change) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in local = peer::MakeEndpoint(peer::ParseDotted(address), port);
        if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            throw std::runtime_error("cannot bind the responder");
        }
        thread_ = std::thread([this] { Answer(); });
    }
    ~Responder() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }

  private:
    void Answer() {
        std::int32_t mode = phone::ModeIdle;
        std::string remembered;
        while (!stop_) {
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, 20) != 1) {
                continue;
            }
            std::uint8_t bytes[2048] = {};
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t size = ::recvfrom(fd_, bytes, sizeof bytes, 0,
                                            reinterpret_cast<sockaddr*>(&from), &length);
            if (size != 12 || phone::Classify(bytes, 12) != phone::DatagramKind::Request) {
                continue;
            }
            const auto request = phone::ReadHeader(std::span(bytes, 12));
            const std::string sender = peer::AddressText(from.sin_addr);
            phone::RequestAnswer answer = phone::AnswerRequest(mode, remembered, request, sender);
            if (change_ == Change::RefuseTalk && request.Command == phone::CmdTalk) {
                answer.status = phone::StatusRejected;
                answer.mode = mode;
            }
            mode = answer.mode;
            remembered = std::string(phone::PeerAfter(answer, remembered, sender));
            phone::SetStatus(std::span(bytes, 12), answer.status);
            const sockaddr_in to = peer::MakeEndpoint(
                remembered.empty() ? from.sin_addr : peer::ParseDotted(remembered), peerPort_);
            for (int i = change_ == Change::AnswerTwice ? 2 : 1; i > 0; --i) {
                ::sendto(fd_, bytes, 12, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            }
        }
    }

    int fd_ = -1;
    std::uint16_t peerPort_;
    Change change_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string Text(const std::string& path) {
    const Bytes bytes = ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// The line number of the first line of `text` that is exactly `wanted`.
int LineOf(const std::string& text, const std::string& wanted) {
    std::istringstream lines(text);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        if (line == wanted) {
            return number;
        }
    }
    return 0;
}

class ScenarioReplayTest : public ::testing::Test {
  protected:
    ScenarioReplayTest() {
        WriteFile(Path("a").toStdString(), Pattern(5'001, 1));  // 13 chunks
        WriteFile(Path("b").toStdString(), Pattern(1'100, 2));  // 3 chunks
    }
    QString Path(const char* name) const { return directory.filePath(name); }

    // The answering peer at .91, replying to .92 where the caller or the scenario runs.
    static QStringList Answer(const QStringList& more) {
        return QStringList{"answer",     "--bind",      "127.0.8.91", "--local-port",
                           "21951",      "--peer-port", "21952",      "--until",
                           "disconnect", "--duration",  "60",         "--json"} +
               more;
    }
    static PeerResult Replay(const QString& scenario, const QStringList& more = {}) {
        return RunPeer(QStringList{"run", scenario, "127.0.8.91:21951", "--bind", "127.0.8.92",
                                   "--local-port", "21952", "--json"} +
                       more);
    }
    // Against `answer --play b`, the rules unchanged: every step passes, nothing left over.
    void PassesAgainstTheSameRules(const QString& scenario) {
        PeerProcess answer(Answer({"--play", Path("b")}));
        ASSERT_TRUE(answer.WaitUntilAnswering());
        const PeerResult run = Replay(scenario, {"--strict"});
        EXPECT_EQ(answer.Finish().exitCode, 0);
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_EQ(run.summary["scenario"]["steps_done"], run.summary["scenario"]["steps"]);
    }
    // Against an endpoint that refuses Talk: the run fails at the step that expects it taken.
    void FailsAtTheTalkReply(const QString& scenario) {
        const std::string text = Text(scenario.toStdString());
        const int line = LineOf(text, "expect reply talk status=1");
        ASSERT_GT(line, 0) << text;
        Responder refusing("127.0.8.91", 21951, 21952, Responder::Change::RefuseTalk);
        const PeerResult run = Replay(scenario);
        EXPECT_EQ(run.exitCode, 1) << run.out;
        EXPECT_EQ(run.summary["scenario"]["failed_step"]["line"], line);
        EXPECT_EQ(run.summary["reasons"][0],
                  scenario.toStdString() + ":" + std::to_string(line) +
                      ": expect reply talk status=1: nothing that matches within 1000 ms; came: "
                      "reply talk status=2 target=1 seq=2 size=12 from 127.0.8.91:21951");
    }

    QTemporaryDir directory;
};

}  // namespace

TEST(ScenarioParseTest, FaultsNameTheFileTheLineAndWhatIsWrong) {
    const struct {
        const char* text;
        const char* fault;
    } cases[] = {
        {"send ring\nsned talk", "x:2: unknown step \"sned\""},
        {"send dial", "x:1: send: \"dial\" is not ring, talk"},
        {"# a comment\n\nsend ring seq=70000", "x:3: seq=70000: \"70000\" is not a number"},
        {"send ring colour=red", "x:1: send: unknown field \"colour\""},
        {"send ring seq=1 seq=2", "x:1: send: seq= given twice"},
        {"send hex=7a6", "x:1: hex=: an odd number of hex digits (3)"},
        {"send talk from=peer2.test", "x:1: from=peer2.test: not a dotted IPv4 address"},
        {"expect reply", "x:1: expect reply: the command is missing"},
        {"expect answer ring", "x:1: expect: \"answer\" is not request, reply, voice or ignored"},
        {"expect voice status=1", "x:1: expect voice: unknown field \"status\""},
        {"expect reply ring within=soon", "x:1: within=: \"soon\" is not a number of milliseconds"},
        {"wait 1.5s", "x:1: wait: \"1.5s\" is not a number of milliseconds"},
        {"wait -5", "x:1: wait: -5 ms is not from 0 to 86400000"},
        {"stream missing.au", "x:1: stream: cannot open \"missing.au\": No such file"},
        {"stream \"tone.au", "x:1: a quote that is not closed"},
        {"stop now", "x:1: stop: \"now\" is more than it takes"},
        {"# only a comment\n", "x: no steps"},
    };
    for (const auto& c : cases) {
        try {
            peer::ParseScenarioText(c.text, "x", UDPPHONE_SOURCE_DIR "/scenarios");
            ADD_FAILURE() << c.text << ": taken";
        } catch (const peer::UsageError& error) {
            EXPECT_NE(std::string(error.what()).find(c.fault), std::string::npos)
                << c.text << ": " << error.what();
        }
    }
    // What is taken: comments, quoted names, times with decimals, "any".
    const auto scenario = peer::ParseScenarioText(
        "stream \"tone.au\" chunks=2  # a comment\nwait 0.5\nexpect reply ring target=any\n", "x",
        UDPPHONE_SOURCE_DIR "/scenarios");
    ASSERT_EQ(scenario.steps.size(), 3u);
    EXPECT_EQ(scenario.steps[0].text, "stream \"tone.au\" chunks=2");
    EXPECT_EQ(scenario.steps[1].seconds, 0.0005);
    EXPECT_EQ(scenario.steps[2].wantTarget.how, peer::FieldWant::How::Any);

    // A byte-order mark, an empty datagram's size, and a name with a quote and a backslash as
    // the saver writes it.
    QTemporaryDir names;
    const std::string odd = "my \"t\" \\.au";
    WriteFile(names.filePath(QString::fromStdString(odd)).toStdString(), Pattern(400, 1));
    const auto escaped = peer::ParseScenarioText(
        "\xEF\xBB\xBF"
        "expect ignored size=0\nstream " +
            peer::QuotedPath(odd) + " chunks=1\n",
        "x", names.path().toStdString());
    ASSERT_EQ(escaped.steps.size(), 2u);
    EXPECT_EQ(escaped.steps[0].wantSize, 0);
    EXPECT_EQ(escaped.steps[1].file, names.filePath(QString::fromStdString(odd)).toStdString());
    EXPECT_EQ(peer::QuotedPath(odd), "\"my \\\"t\\\" \\\\.au\"");

    // The program refuses a faulty scenario with exit code 2 before it sends anything.
    QTemporaryDir directory;
    const QString file = directory.filePath("faulty.scenario");
    WriteFile(file.toStdString(), {'s', 'e', 'n', 'd', ' ', 'r', 'i', 'n', 'g', '\n', 'w', 'a', 'i',
                                   't', ' ', 'x', '\n'});
    UdpPeer listener("127.0.8.93");
    const PeerResult run = RunPeer({"run", file, "127.0.8.93:" + QString::number(listener.Port()),
                                    "--bind", "127.0.8.94", "--local-port", "0"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find(file.toStdString() + ":2: wait: \"x\" is not a number"),
              std::string::npos)
        << run.err;
    // Only a regular file of at most 16 MiB is read: not a device, a FIFO, nor a huge file.
    const QString fifo = directory.filePath("fifo");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    const QString huge = directory.filePath("huge.scenario");
    {
        QFile large(huge);
        ASSERT_TRUE(large.open(QIODevice::WriteOnly));
        large.resize((16 << 20) + 1);
    }
    const struct {
        QString path;
        std::string fault;
    } files[] = {
        {"/dev/zero", "\"/dev/zero\" is a character device; SCENARIO takes a regular file"},
        {fifo, "\"" + fifo.toStdString() + "\" is a pipe (FIFO); SCENARIO takes a regular file"},
        {huge, "the scenario \"" + huge.toStdString() + "\" is longer than 16 MiB"}};
    for (const auto& f : files) {
        const PeerResult refused =
            RunPeer({"run", f.path, "127.0.8.93:" + QString::number(listener.Port()), "--bind",
                     "127.0.8.94", "--local-port", "0"},
                    std::chrono::seconds(10));
        EXPECT_EQ(refused.exitCode, 2) << f.fault;
        EXPECT_NE(refused.err.find(f.fault), std::string::npos) << refused.err;
    }
    EXPECT_TRUE(listener.Drain().empty());
}

TEST_F(ScenarioReplayTest, SavedFromCallReplaysAndAChangedRuleFailsAtItsStep) {
    const QString saved = Path("call.scenario");
    {
        PeerProcess answer(Answer({"--play", Path("b")}));
        ASSERT_TRUE(answer.WaitUntilAnswering());
        const PeerResult call =
            RunPeer({"call", "127.0.8.91:21951", "--bind", "127.0.8.92", "--local-port", "21952",
                     "--play", Path("a"), "--save", saved, "--json"});
        ASSERT_EQ(call.exitCode, 0) << call.out << call.err;
        EXPECT_EQ(answer.Finish().exitCode, 0);
    }
    // The voice as one stream step; Talk's reply may come before or after the first chunk. A
    // loaded machine may start the stream late enough for a wait before it, which is no fault.
    std::string text = Text(saved.toStdString());
    text = text.substr(text.find("\nsend"));
    text = std::regex_replace(text, std::regex("\nwait [0-9]+\n"), "\n");
    EXPECT_TRUE(text ==
                    "\nsend ring\nexpect reply ring status=1\nsend talk\nstream a chunks=13\n"
                    "expect reply talk status=1\nwait stream\nexpect voice count=3\n"
                    "send disconnect\nexpect reply disconnect status=1\n" ||
                text ==
                    "\nsend ring\nexpect reply ring status=1\nsend talk\n"
                    "expect reply talk status=1\nstream a chunks=13\nwait stream\n"
                    "expect voice count=3\nsend disconnect\nexpect reply disconnect status=1\n")
        << text;
    PassesAgainstTheSameRules(saved);
    FailsAtTheTalkReply(saved);
}

TEST_F(ScenarioReplayTest, SavedFromAnswerReplaysAndAChangedRuleFailsAtItsStep) {
    const QString saved = Path("answer.scenario");
    {
        PeerProcess answer(
            Answer({"--play", Path("b"), "--record", Path("heard"), "--save", saved}));
        ASSERT_TRUE(answer.WaitUntilAnswering());
        const PeerResult call =
            RunPeer({"call", "127.0.8.91:21951", "--bind", "127.0.8.92", "--local-port", "21952",
                     "--play", Path("a"), "--talk-seconds", "1"});
        ASSERT_EQ(call.exitCode, 0) << call.out << call.err;
        EXPECT_EQ(answer.Finish().exitCode, 0);
    }
    // The caller's voice is streamed from the file it was recorded into.
    const std::string text = Text(saved.toStdString());
    EXPECT_NE(text.find("\nstream heard chunks=13\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nexpect voice count=3\nsend disconnect\n"), std::string::npos) << text;
    PassesAgainstTheSameRules(saved);
    FailsAtTheTalkReply(saved);
}

TEST_F(ScenarioReplayTest, WhatNoStepTakesFailsTheRunOnlyWithStrict) {
    // Every request answered twice: the second replies are left over.
    Responder twice("127.0.8.91", 21951, 21952, Responder::Change::AnswerTwice);
    for (const bool strict : {false, true}) {
        const PeerResult run = Replay(UDPPHONE_SOURCE_DIR "/scenarios/stranger-talk.scenario",
                                      strict ? QStringList{"--strict"} : QStringList{});
        EXPECT_EQ(run.exitCode, strict ? 1 : 0) << run.out;
        EXPECT_EQ(run.summary["scenario"]["steps_done"], 8);
        // The last one may come after the run has ended.
        EXPECT_GE(run.summary["scenario"]["unexpected"], 3);
        EXPECT_EQ(run.summary["scenario"]["unexpected_datagrams"][0],
                  "reply ring status=1 target=1 seq=1 size=12 from 127.0.8.91:21951");
    }
}

TEST(ScenarioWindowTest, TheShippedScenariosPassAgainstTheWindow) {
    // The window's peer is where the scenarios run from; the stranger is another address.
    const auto window = MakeWindow("127.0.8.95", 21955);
    for (const char* name : {"full-call", "stranger-talk"}) {
        const PeerResult run =
            RunPeer({"run", QString(UDPPHONE_SOURCE_DIR "/scenarios/") + name + ".scenario",
                     "127.0.0.1:" + QString::number(BoundPort(*window)), "--bind", "127.0.8.95",
                     "--local-port", "21955", "--strict", "--json"});
        EXPECT_EQ(run.exitCode, 0) << name << run.out << run.err;
    }
    EXPECT_EQ(window->CallMode, ModeIdle);
    EXPECT_EQ(controls::Caption(window->LRecv), "21");  // a second of tone
    // Both calls in the window's log, newest first; the stranger's Talk (Seq 2) refused.
    EXPECT_EQ(window->Memo1->toPlainText().toStdString(),
              "Read: 12 7A 65 6C 6B 04 00 01 00 09 00 01 00\nSend: 01 09\n"
              "Read: 12 7A 65 6C 6B 03 00 01 00 07 00 01 00\nSend: 01 07\n"
              "Read: 12 7A 65 6C 6B 02 00 01 00 07 00 02 00\nSend: 01 07\n"
              "Read: 12 7A 65 6C 6B 01 00 01 00 05 00 01 00\nSend: 01 05\nDial: 1\n"
              "Read: 12 7A 65 6C 6B 18 00 01 00 09 00 01 00\nSend: 01 09\n"
              "Read: 12 7A 65 6C 6B 02 00 01 00 07 00 01 00\nSend: 01 07\n"
              "Read: 12 7A 65 6C 6B 01 00 01 00 05 00 01 00\nSend: 01 05\nDial: 1\nMemo1");
}

namespace {

// A figure of /proc/PID/status in kB ("VmHWM", "VmRSS"); -1 when it cannot be read.
long StatusKb(long pid, const std::string& name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(name + ":")) {
            return std::stol(line.substr(name.size() + 1));
        }
    }
    return -1;
}

}  // namespace

TEST(ScenarioMemoryTest, AFloodOfUnexpectedDatagramsLeavesRunsMemoryWhereItWas) {
    // The memory measured is the program's own, not what AddressSanitizer holds back of what was
    // freed or of stack frames (both grow with every call, however short-lived).
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    ::setenv("ASAN_OPTIONS",
             ((sanitizer != nullptr ? std::string(sanitizer) + ":" : "") +
              "quarantine_size_mb=0:detect_stack_use_after_return=0")
                 .c_str(),
             1);
    QTemporaryDir directory;
    const QString scenario = directory.filePath("wait.scenario");
    const std::string text = "send ring\nexpect request talk within=60000\n";
    WriteFile(scenario.toStdString(), Bytes(text.begin(), text.end()));
    UdpPeer device("127.0.8.97"), stranger("127.0.8.98");
    PeerProcess run({"run", scenario, "127.0.8.97:" + QString::number(device.Port()), "--bind",
                     "127.0.8.96", "--local-port", "21996", "--json", "--quiet"});
    ASSERT_TRUE(device.Receive());  // the Ring: the run is waiting for the Talk

    // Replies the device never was asked for, each with another Seq, and empty datagrams from a
    // stranger: nothing that two entries could share.
    int sent = 0;
    const auto flood = [&](int count) {
        for (int i = 0; i < count; ++i, ++sent) {
            if (sent % 2 == 0) {
                device.SendTo(Request(sent / 2, 1, 5, 1), "127.0.8.96", 21996);
            } else {
                stranger.SendTo(Bytes(), "127.0.8.96", 21996);
            }
            if (sent % 500 == 499) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    };
    // Enough to fill what is kept for later steps, and to warm every path the flood takes
    // (AddressSanitizer's allocator takes a while to settle).
    flood(40'000);
    const long before = StatusKb(run.Pid(), "VmHWM");
    flood(100'000);
    const long after = StatusKb(run.Pid(), "VmHWM");
    ASSERT_GT(before, 0);
    device.SendTo(Request(2, 1, 7), "127.0.8.96", 21996);
    const PeerResult ran = run.Finish();
    ASSERT_EQ(ran.exitCode, 0) << ran.out << ran.err;
    EXPECT_EQ(ran.summary["scenario"]["unexpected"].get<long>() +
                  ran.summary["receive_drops"].get<long>(),
              sent);
    EXPECT_EQ(ran.summary["scenario"]["unexpected_datagrams"].size(), 10u);
    // Kept, those 100,000 took 6 MB and more; counted, nothing to speak of.
    EXPECT_LT(after - before, 1024) << before << " kB before, " << after << " kB after";
}

namespace {

struct Thrown {
    Bytes bytes;
    bool stranger = false;
};

// A caller's datagrams drawn from `seed`: requests of every kind, streams of voice (their chunks
// faster than a stream's), a last chunk short, voice of odd shapes, empty and random datagrams,
// and now and then a stranger's.
std::vector<Thrown> Drawn(unsigned seed) {
    std::mt19937 random(seed);
    const auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
    int seq = 1;
    const auto voice = [&](int length, std::size_t size = 416) {
        return Zelk({seq++, 1, 10, 0, length},
                    Pattern(static_cast<std::size_t>(length), static_cast<std::uint8_t>(pick(256))),
                    size);
    };
    std::vector<Thrown> thrown = {{Request(seq++, 1, 5)}, {Request(seq++, 1, 7)}};
    for (int i = 0; i < 20; ++i) {
        switch (pick(7)) {
            case 0: {
                const int commands[] = {5, 7, 8, 9, 6};
                thrown.push_back({Request(seq++, pick(3) - 1, commands[pick(5)], pick(4) == 0)});
                break;
            }
            case 1:
                for (int n = 1 + pick(4); n > 0; --n) {
                    thrown.push_back({voice(400)});
                }
                if (pick(2) == 0) {
                    thrown.push_back({voice(1 + pick(399))});
                }
                break;
            case 2: {
                Bytes odd = voice(400, pick(2) == 0 ? 300 : 416);
                odd[415 % odd.size()] |= 1;  // a filler byte no stream sends
                thrown.push_back({odd});
                break;
            }
            case 3:
                thrown.push_back({Bytes()});
                break;
            case 4: {
                Bytes junk(static_cast<std::size_t>(1 + pick(2100)));
                std::generate(junk.begin(), junk.end(), [&] { return pick(256); });
                thrown.push_back({junk});
                break;
            }
            case 5:
                thrown.push_back({pick(2) == 0 ? Request(seq, 1, 7) : voice(400), true});
                break;
            case 6:
                seq += 1 + pick(100);  // a Seq that jumps
                thrown.push_back({voice(400)});
                break;
        }
    }
    thrown.push_back({Request(seq, 1, 9)});
    return thrown;
}

// What an answering peer received, by address (ports differ from run to run).
std::vector<std::string> Received(const PeerResult& answered) {
    std::vector<std::string> received;
    for (const auto& line : answered.Datagrams("in")) {
        const std::string peer = line["peer"];
        received.push_back(peer.substr(0, peer.find(':')) + " " + line["hex"].get<std::string>());
    }
    return received;
}

}  // namespace

TEST_F(ScenarioReplayTest, WhateverAnswerSavesParsesAndReplaysTheSameDatagrams) {
    const QStringList answering = {"answer",       "--bind",     "127.0.8.91",
                                   "--local-port", "21951",      "--reply-to-sender",
                                   "--json",       "--duration", "60"};
    for (const unsigned seed : {1u, 2u, 3u}) {
        // Names with a quote, a backslash and blanks; with --record or without.
        const QString saved = Path("my \"t\" \\") + QString::number(seed) + ".scenario";
        const QStringList record =
            seed == 2 ? QStringList{"--record", Path("heard \"x\".au")} : QStringList{};
        PeerProcess original(answering + QStringList{"--save", saved} + record);
        ASSERT_TRUE(original.WaitUntilAnswering());
        UdpPeer caller("127.0.8.92"), stranger("127.0.8.90");
        for (const Thrown& each : Drawn(seed)) {
            (each.stranger ? stranger : caller).SendTo(each.bytes, "127.0.8.91", 21951);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        original.Signal(SIGTERM);
        const PeerResult first = original.Finish();
        ASSERT_EQ(first.exitCode, 0) << first.err;

        try {
            peer::ParseScenario(saved.toStdString());
        } catch (const peer::UsageError& error) {
            FAIL() << seed << ": " << error.what() << "\n" << Text(saved.toStdString());
        }
        PeerProcess again(answering);
        ASSERT_TRUE(again.WaitUntilAnswering());
        const PeerResult replay = RunPeer({"run", saved, "127.0.8.91:21951", "--bind", "127.0.8.92",
                                           "--local-port", "0", "--json", "--quiet"});
        again.Signal(SIGTERM);
        const PeerResult second = again.Finish();
        EXPECT_EQ(replay.exitCode, 0) << seed << replay.out << replay.err;
        EXPECT_EQ(Received(second), Received(first)) << seed << "\n" << Text(saved.toStdString());
    }
}

TEST_F(ScenarioReplayTest, ACallKilledMidStreamLeavesAScenarioThatParses) {
    WriteFile(Path("long").toStdString(), Pattern(40'000, 3));  // 100 chunks: 4.7 s
    PeerProcess answer(Answer({}));
    ASSERT_TRUE(answer.WaitUntilAnswering());
    const QString saved = Path("killed.scenario");
    PeerProcess call({"call", "127.0.8.91:21951", "--bind", "127.0.8.92", "--local-port", "21952",
                      "--play", Path("long"), "--save", saved, "--quiet"});
    // Killed once a few chunks of its stream were written down.
    const bool streaming = WaitFor(
        [&] {
            const std::string text = Text(saved.toStdString());
            return text.find("stream long chunks=5") != std::string::npos;
        },
        std::chrono::seconds(10));
    call.Signal(SIGKILL);
    ASSERT_TRUE(streaming) << Text(saved.toStdString());
    call.Finish();
    const peer::Scenario scenario = peer::ParseScenario(saved.toStdString());
    std::vector<std::string> steps;
    std::uint64_t chunks = 0;
    for (const auto& step : scenario.steps) {
        steps.push_back(step.text.substr(0, step.text.find(" chunks=")));
        chunks += step.chunks.value_or(0);
    }
    EXPECT_EQ(steps,
              (std::vector<std::string>{"send ring", "expect reply ring status=1", "send talk",
                                        "stream long", "expect reply talk status=1"}));
    EXPECT_GE(chunks, 5u);
}

TEST_F(ScenarioReplayTest, ASaveThatReachesWhatRunReadsEndsThereAndParses) {
    const QString saved = Path("big.scenario");
    PeerProcess answer(Answer({"--save", saved, "--quiet"}));
    ASSERT_TRUE(answer.WaitUntilAnswering());
    // Each a send hex= step of 4,106 bytes, until 4,086 of them have filled the 16 MiB; sent in
    // small bursts, so that however slowly they are taken, none is dropped.
    UdpPeer caller("127.0.8.92");
    const std::uintmax_t limit = 16u << 20;
    const auto full = [&] {
        return std::filesystem::file_size(saved.toStdString()) > limit - 4'200;
    };
    for (int i = 0; i < 8'000 && !full(); ++i) {
        caller.SendTo(Pattern(2'048, static_cast<std::uint8_t>(i)), "127.0.8.91", 21951);
        if (i % 100 == 99) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    EXPECT_TRUE(WaitFor(full, std::chrono::seconds(20)));
    answer.Signal(SIGTERM);
    const PeerResult answered = answer.Finish();
    EXPECT_EQ(answered.exitCode, 2);
    EXPECT_NE(answered.err.find("reached 16 MiB, the most a scenario may hold"), std::string::npos)
        << answered.err;
    EXPECT_LE(std::filesystem::file_size(saved.toStdString()), limit);
    const peer::Scenario scenario = peer::ParseScenario(saved.toStdString());
    EXPECT_GT(scenario.steps.size(), 4'000u);
}
