// A run's checks seen from outside: the voice that arrived held against the file that was sent,
// the JUnit file a CI server reads, and the running figures on a terminal and as lines.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <future>
#include <memory>
#include <thread>

#include "peer/checks/ExpectedVoice.h"
#include "peer/report/ReportCollector.h"
#include "support/PeerProcess.h"
#include "support/PhoneCalls.h"
#include "support/Xmllint.h"

using namespace testsupport;

namespace {

constexpr std::size_t kChunk = 400;
// 20 whole chunks and a short one: a second of voice.
constexpr std::size_t kVoiceBytes = 20 * kChunk + 123;

class PeerChecksTest : public ::testing::Test {
  protected:
    QString Path(const char* name) const { return directory.filePath(name); }
    QString Voice(const char* name, std::uint8_t seed) const {
        WriteFile(Path(name).toStdString(), Pattern(kVoiceBytes, seed));
        return Path(name);
    }
    QTemporaryDir directory;
};

// A device that accepts every request and, once talking, streams `voice` to the caller in
// chunks of 400 bytes with Seq 101, 102..., one every 5 ms.
class VoiceDevice {
  public:
    VoiceDevice(const std::string& address, std::uint16_t port, Bytes voice)
        : socket_(address, port), voice_(std::move(voice)) {
        thread_ = std::thread([this] { Serve(); });
    }
    ~VoiceDevice() {
        stop_ = true;
        thread_.join();
    }

  private:
    void Serve() {
        std::optional<sockaddr_in> caller;
        std::size_t sent = 0;
        while (!stop_) {
            pollfd ready{socket_.Descriptor(), POLLIN, 0};
            if (::poll(&ready, 1, 5) == 1) {
                std::uint8_t bytes[2048];
                sockaddr_in from{};
                socklen_t length = sizeof from;
                if (::recvfrom(socket_.Descriptor(), bytes, sizeof bytes, 0,
                               reinterpret_cast<sockaddr*>(&from), &length) == 12) {
                    bytes[10] = 1;  // accepted
                    ::sendto(socket_.Descriptor(), bytes, 12, 0,
                             reinterpret_cast<const sockaddr*>(&from), sizeof from);
                    if (bytes[8] == 7) {  // Talk
                        caller = from;
                    }
                }
            }
            if (caller && sent * kChunk < voice_.size()) {
                const auto from = voice_.begin() + static_cast<std::ptrdiff_t>(sent * kChunk);
                const Bytes chunk(from, from + static_cast<std::ptrdiff_t>(std::min(
                                                   kChunk, voice_.size() - sent * kChunk)));
                const Bytes datagram =
                    Zelk({static_cast<int>(101 + sent), 1, 10, 0, static_cast<int>(chunk.size())},
                         chunk, 416);
                ::sendto(socket_.Descriptor(), datagram.data(), datagram.size(), 0,
                         reinterpret_cast<const sockaddr*>(&*caller), sizeof *caller);
                ++sent;
            }
        }
    }

    UdpPeer socket_;
    Bytes voice_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The JUnit file's failures' messages, after checking it against the schema.
std::vector<std::string> JUnitFailures(const QString& path) {
    const Lint valid = ValidateJUnit(path);
    EXPECT_EQ(valid.exitCode, 0) << valid.errors;
    std::vector<std::string> messages;
    for (int i = 1; i <= std::stoi(XPathValue(path, "count(//failure)")); ++i) {
        messages.push_back(XPathValue(path, QString("string((//failure)[%1]/@message)").arg(i)));
    }
    return messages;
}

std::vector<std::string> Reasons(const PeerResult& run) {
    return run.summary.value("reasons", std::vector<std::string>{});
}

// The peer with its standard error on a pseudo-terminal of its own and its standard output on a
// pipe, read until it ends (killed after `timeout`).
struct TerminalRun {
    std::string terminal, out;
    int status = -1;
};

TerminalRun OnTerminal(const QStringList& arguments, std::chrono::seconds timeout) {
    TerminalRun run;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    int out[2];
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "no pseudo-terminal";
        return run;
    }
    const std::string terminal = ::ptsname(master);
    std::vector<std::string> words{UDPPHONE_PEER_EXECUTABLE};
    for (const QString& argument : arguments) {
        words.push_back(argument.toStdString());
    }
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::setsid();
        const int slave = ::open(terminal.c_str(), O_RDWR);
        ::dup2(slave, STDERR_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    pollfd watched[] = {{master, POLLIN, 0}, {out[0], POLLIN, 0}};
    std::string* into[] = {&run.terminal, &run.out};
    while (std::chrono::steady_clock::now() < deadline &&
           (watched[0].fd >= 0 || watched[1].fd >= 0)) {
        if (::poll(watched, 2, 100) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (watched[i].revents == 0) {
                continue;
            }
            char bytes[4096];
            const ssize_t count = ::read(watched[i].fd, bytes, sizeof bytes);
            if (count > 0) {
                into[i]->append(bytes, static_cast<std::size_t>(count));
            } else {
                watched[i].fd = -1;  // the end, or EIO once the terminal's last user left
            }
        }
    }
    ::kill(child, SIGKILL);  // only if it is still there after the time it was given
    ::waitpid(child, &run.status, 0);
    ::close(master);
    ::close(out[0]);
    return run;
}

}  // namespace

TEST_F(PeerChecksTest, TheVoiceThatArrivedIsHeldAgainstTheFileThatWasSent) {
    const QString a = Voice("a", 1), b = Voice("b", 2);
    // Each row a call and the answer it calls, all at once, each pair on addresses of its own.
    const struct {
        const char* name;
        QString answer, call;  // the options of each, besides the addresses
        bool impaired;         // the caller's voice, against what the answer holds it to
        const char* verdict;
    } rows[] = {
        {"clean, both ways", "--play " + b + " --expect-voice " + a,
         "--play " + a + " --expect-voice " + b, false, "pass"},
        {"dropped, duplicated and reordered, missing allowed",
         "--expect-voice " + a + " --allow-missing 50",
         "--play " + a + " --drop 15 --duplicate 15 --reorder 15 --seed 4", true, "pass"},
        {"dropped, none allowed", "--expect-voice " + a, "--play " + a + " --drop 15 --seed 4",
         true, "fail"},
    };
    std::vector<std::unique_ptr<PeerProcess>> answers, calls;
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const QString answerAt = QString("127.0.12.%1").arg(11 + 2 * i);
        const QString callAt = QString("127.0.12.%1").arg(12 + 2 * i);
        answers.push_back(
            std::make_unique<PeerProcess>(Words("answer --bind " + answerAt +
                                                " --local-port 23101 --peer-port 23102 --until "
                                                "disconnect --duration 30 --quiet --json " +
                                                rows[i].answer)));
        ASSERT_TRUE(answers.back()->WaitUntilAnswering()) << rows[i].name;
        // Talking well past the file's end, so a chunk dropped at the end counts as missing.
        calls.push_back(std::make_unique<PeerProcess>(
            Words("call " + answerAt + ":23101 --bind " + callAt +
                  " --local-port 23102 --talk-seconds 2.3 --quiet --json " + rows[i].call)));
    }
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].name);
        const PeerResult call = calls[i]->Finish();
        const PeerResult answer = answers[i]->Finish();
        ASSERT_EQ(call.exitCode, 0) << call.out << call.err;
        const nlohmann::json check = answer.summary["voice_check"];
        EXPECT_EQ(check["chunks_expected"], 21);
        EXPECT_EQ(check["corrupted"], 0);
        EXPECT_EQ(check["first_corrupted"], nullptr);
        EXPECT_EQ(answer.summary["verdict"], rows[i].verdict) << answer.out;
        EXPECT_EQ(answer.exitCode, rows[i].verdict == std::string("pass") ? 0 : 1);
        if (!rows[i].impaired) {
            for (const PeerResult* side : {&call, &answer}) {
                const nlohmann::json clean = side->summary["voice_check"];
                EXPECT_EQ(clean["matched"], 21) << clean;
                EXPECT_EQ(clean["chunks_received"], 21) << clean;
                EXPECT_EQ(clean["missing"].get<int>() + clean["repeated"].get<int>() +
                              clean["out_of_order"].get<int>() + clean["restarts"].get<int>(),
                          0)
                    << clean;
            }
            continue;
        }
        // What the caller's impairments did is what the answer's check found, and some of each.
        const nlohmann::json done = call.summary["impairments"];
        EXPECT_EQ(check["missing"], done["dropped"]) << check << done;
        EXPECT_EQ(check["repeated"], done["duplicated"]) << check << done;
        EXPECT_EQ(check["out_of_order"], done["reordered"]) << check << done;
        EXPECT_EQ(check["matched"], 21 - done["dropped"].get<int>()) << check << done;
        EXPECT_GT(done["dropped"], 0);
        if (rows[i].verdict == std::string("fail")) {
            ASSERT_EQ(Reasons(answer).size(), 1u);
            EXPECT_EQ(Reasons(answer)[0].rfind(
                          "voice check: " + done["dropped"].dump() + " of 21 chunks missing", 0),
                      0u)
                << answer.summary;
        } else {
            EXPECT_GT(done["duplicated"], 0);
            EXPECT_GT(done["reordered"], 0);
        }
    }
}

TEST_F(PeerChecksTest, AFlippedByteFailsTheCallAtItsChunkAndTheJUnitFileSaysWhy) {
    const Bytes voice = Pattern(kVoiceBytes, 3);
    Bytes damaged = voice;
    damaged[17 * kChunk + 5] ^= 0x40;
    VoiceDevice device("127.0.12.31", 23131, damaged);
    WriteFile(Path("voice").toStdString(), voice);
    const PeerResult call =
        RunPeer(Words("call 127.0.12.31:23131 --bind 127.0.12.32 --local-port 0 --talk-seconds "
                      "0.5 --quiet --json --expect-voice " +
                      Path("voice") + " --junit " + Path("junit.xml")));
    ASSERT_EQ(call.exitCode, 1) << call.out << call.err;
    const nlohmann::json check = call.summary["voice_check"];
    EXPECT_EQ(check["corrupted"], 1) << check;
    EXPECT_EQ(check["matched"], 20) << check;
    EXPECT_EQ(check["missing"], 0) << check;
    EXPECT_EQ(check["first_corrupted"]["chunk"], 17) << check;
    EXPECT_EQ(check["first_corrupted"]["seq"], 118) << check;
    EXPECT_EQ(check["first_corrupted"]["offset"], 17 * kChunk) << check;
    EXPECT_EQ(check["first_corrupted"]["differs_at"], 17 * kChunk + 5) << check;
    ASSERT_EQ(Reasons(call).size(), 1u) << call.summary;
    EXPECT_EQ(Reasons(call)[0].rfind("voice check: 1 corrupted chunks, the first with Seq 118", 0),
              0u);
    // The replies, the signal, the pacing and the voice: one of them failed, with the summary's
    // very reason.
    EXPECT_EQ(JUnitFailures(Path("junit.xml")), Reasons(call));
    EXPECT_EQ(XPathValue(Path("junit.xml"), "string(//testsuite/@tests)"), "6");
}

TEST_F(PeerChecksTest, AFailedStepIsTheOneFailureOfAValidJUnitFile) {
    const std::string steps =
        "send ring\nexpect reply ring\nsend talk\nexpect reply talk status=2 within=300\n"
        "send disconnect\nexpect reply disconnect\n";
    WriteFile(Path("steps.scenario").toStdString(), Bytes(steps.begin(), steps.end()));
    PeerProcess answer(
        Words("answer --bind 127.0.12.41 --local-port 23141 --peer-port 23142 "
              "--duration 30 --count 3 --quiet"));
    ASSERT_TRUE(answer.WaitUntilAnswering());
    const PeerResult run = RunPeer(Words("run " + Path("steps.scenario") +
                                         " 127.0.12.41:23141 --bind 127.0.12.42 --local-port "
                                         "23142 --quiet --json --junit " +
                                         Path("junit.xml")));
    answer.Signal(SIGTERM);  // the Disconnect never came
    answer.Finish();
    ASSERT_EQ(run.exitCode, 1) << run.out << run.err;
    ASSERT_EQ(Reasons(run).size(), 1u);
    EXPECT_NE(
        Reasons(run)[0].find(":4: expect reply talk status=2 within=300: nothing that matches"),
        std::string::npos)
        << Reasons(run)[0];
    EXPECT_EQ(JUnitFailures(Path("junit.xml")), Reasons(run));
    // Six steps and the run's end: two steps passed before the failed one, two were not reached.
    const auto value = [&](const char* xpath) { return XPathValue(Path("junit.xml"), xpath); };
    EXPECT_EQ(value("string(//testsuite/@tests)"), "7");
    EXPECT_EQ(value("string(//testsuite/@skipped)"), "2");
    EXPECT_EQ(value("string((//testcase)[4]/@name)"),
              "line 4: expect reply talk status=2 within=300");
}

TEST_F(PeerChecksTest, RunningFiguresOnATerminalAndAsLinesWhileTheRunGoes) {
    UdpPeer silent("127.0.12.51", 23151);
    const std::string wait = "wait 2000\n";
    WriteFile(Path("wait.scenario").toStdString(), Bytes(wait.begin(), wait.end()));
    Voice("voice", 5);
    // A status line on a terminal, none where standard error is a pipe.
    auto terminal = std::async(std::launch::async, [] {
        return OnTerminal(
            Words("answer --bind 127.0.12.52 --local-port 23152 --duration 3 --quiet"),
            std::chrono::seconds(30));
    });
    const struct {
        QString arguments;
        double planned;
    } rows[] = {
        {"answer --bind 127.0.12.53 --local-port 23153 --peer-port 23154 --duration 2.5", 2.5},
        {"call 127.0.12.53:23153 --bind 127.0.12.54 --local-port 23154 --talk-seconds 2 --play " +
             Path("voice"),
         2},
        {"load 127.0.12.51:23151 --bind 127.0.12.55 --rate 500 --duration 2 --min-answered 0 "
         "--timeout 100",
         2},
        {"run " + Path("wait.scenario") + " 127.0.12.51:23151 --bind 127.0.12.56", 2},
    };
    std::vector<std::unique_ptr<PeerProcess>> peers;
    for (const auto& row : rows) {
        peers.push_back(
            std::make_unique<PeerProcess>(Words(row.arguments + " --quiet --json --interval 0.4")));
        if (peers.size() == 1) {
            ASSERT_TRUE(peers.back()->WaitUntilAnswering());
        }
    }
    for (std::size_t i = 0; i < peers.size(); ++i) {
        // Read as they come: the first is there while the peer still runs.
        EXPECT_TRUE(peers[i]->WaitUntil([](const std::string& out, const std::string&) {
            return out.find("{\"interval\"") != std::string::npos;
        })) << rows[i].arguments.toStdString();
    }
    for (std::size_t i = 0; i < peers.size(); ++i) {
        SCOPED_TRACE(rows[i].arguments.toStdString());
        const PeerResult run = peers[i]->Finish();
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_EQ(run.err.find_first_of("\r\033"), std::string::npos) << run.err;
        std::vector<nlohmann::json> intervals;
        for (const auto& line : run.lines) {
            if (line.contains("interval")) {
                intervals.push_back(line["interval"]);
            }
        }
        ASSERT_GE(intervals.size(), 3u) << run.out;
        EXPECT_TRUE(run.lines.back().contains("summary"));
        // One after the other, each from where the last ended (a late one makes the next short).
        double end = 0;
        for (const auto& interval : intervals) {
            EXPECT_EQ(interval["planned"], rows[i].planned);
            EXPECT_EQ(interval["start"], end) << interval;
            end = interval["end"];
            EXPECT_GT(end, interval["start"].get<double>()) << interval;
        }
        if (rows[i].arguments.startsWith("load")) {
            // Of all the Rings sent to a peer that never answers, none answered.
            EXPECT_TRUE(std::any_of(intervals.begin(), intervals.end(), [](const auto& interval) {
                return interval["answered_percent"] == 0.0;
            })) << run.out;
            EXPECT_NEAR(intervals.back()["datagrams_sent"].get<double>() / end, 500, 150);
        }
    }
    const TerminalRun shown = terminal.get();
    EXPECT_TRUE(WIFEXITED(shown.status) && WEXITSTATUS(shown.status) == 0) << shown.terminal;
    const std::size_t status = shown.terminal.find("\r2 s of 3 s (");
    ASSERT_NE(status, std::string::npos) << shown.terminal;
    EXPECT_NE(shown.terminal.find(" %)  sent 0  received 0", status), std::string::npos)
        << shown.terminal;
    // Wiped before the summary, which went to standard output.
    EXPECT_TRUE(shown.terminal.ends_with("\033[K\r\033[K")) << shown.terminal;
    EXPECT_NE(shown.out.find("summary:"), std::string::npos);
}

TEST(ExpectedVoiceTest, TheReportMarksEveryCorruptedAndMissingChunk) {
    const Bytes file = Pattern(10 * kChunk, 7);
    peer::VoiceCheck check(file);
    for (int chunk = 0; chunk < 10; ++chunk) {
        if (chunk == 3 || chunk == 4) {
            continue;  // missing
        }
        Bytes stored(file.begin() + chunk * 400, file.begin() + (chunk + 1) * 400);
        stored[0] ^= chunk == 7 ? 1 : 0;  // corrupted
        check.Take(static_cast<std::uint16_t>(chunk + 1), chunk * 0.047, stored);
    }
    check.Finish(std::nullopt);
    peer::ReportCollector collector;
    peer::MarkVoiceCheck(check, collector);
    const auto& data = collector.Data();
    EXPECT_TRUE(data.voiceChecked);
    EXPECT_EQ(data.markCounts[static_cast<std::size_t>(peer::MarkKind::Corrupted)], 1u);
    EXPECT_EQ(data.markCounts[static_cast<std::size_t>(peer::MarkKind::MissingChunk)], 2u);
}
