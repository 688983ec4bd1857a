// udpphone-peer calls: many calls at once against answering peers, each judged on its own, the
// summary agreeing with them; a busy phone refuses, a stopped one fails only its own calls, a
// starved peer blames itself; bad input sends nothing.

#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "peer/Addresses.h"
#include "phone/PhoneDatagram.h"
#include "support/PeerProcess.h"
#include "support/Xmllint.h"

using namespace std::chrono_literals;
using namespace testsupport;

namespace {

constexpr const char* kHost = "127.0.19.1";

// A UDP socket of the test's own on `port` of 127.0.19.x.
int BoundSocket(const char* address, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in at = peer::MakeEndpoint(peer::ParseDotted(address), port);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
    return fd;
}

class PeerCallsTest : public ::testing::Test {
  protected:
    // A file of `chunks` voice chunks of random bytes, so each chunk is told apart.
    QString VoiceFile(int chunks) {
        const QString path = directory.filePath("voice.bin");
        std::ofstream out(path.toStdString(), std::ios::binary);
        std::mt19937 random(7);
        for (int i = 0; i < chunks * 400; ++i) {
            out.put(static_cast<char>(random()));
        }
        return path;
    }
    // `count` answering peers, one a port from `port` on.
    void Answer(std::uint16_t port, int count, const QString& play = {}) {
        for (int i = 0; i < count; ++i) {
            QStringList arguments = Words(QString("answer --bind %1 --local-port %2 "
                                                  "--reply-to-sender --quiet")
                                              .arg(kHost)
                                              .arg(port + i));
            if (!play.isEmpty()) {
                arguments << "--play" << play;
            }
            phones.push_back(std::make_unique<PeerProcess>(arguments));
            ASSERT_TRUE(phones.back()->WaitUntilAnswering());
        }
    }
    static std::vector<nlohmann::json> Calls(const PeerResult& run) {
        std::vector<nlohmann::json> calls;
        for (const auto& line : run.lines) {
            if (line.contains("call")) {
                calls.push_back(line["call"]);
            }
        }
        return calls;
    }

    QTemporaryDir directory;
    std::vector<std::unique_ptr<PeerProcess>> phones;
};

TEST_F(PeerCallsTest, FiftyCallsToTenPhonesAllPassWithTheirVoiceCheckedAndSummed) {
    const QString voice = VoiceFile(10);
    PeerProcess answer(Words(QString("answer --bind %1 --local-port 23200 --phones 10 "
                                     "--reply-to-sender --quiet --json --play %2")
                                 .arg(kHost, voice)));
    ASSERT_TRUE(answer.WaitUntilAnswering());
    const PeerResult run =
        RunPeer(Words("calls 127.0.19.1:23200-23209 --calls 50 --concurrent 10 --rate 20 "
                      "--talk-seconds 1 --json --play " +
                      voice + " --expect-voice " + voice));
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    const auto calls = Calls(run);
    ASSERT_EQ(calls.size(), 50u);
    std::map<std::string, int> perPhone;
    std::set<std::string> ownPhones;
    for (const auto& call : calls) {
        EXPECT_EQ(call["verdict"], "pass") << call.dump();
        EXPECT_EQ(call["voice_check"]["matched"], 10) << call.dump();
        EXPECT_EQ(call["voice_check"]["missing"], 0);
        EXPECT_EQ(call["voice_check"]["corrupted"], 0);
        EXPECT_GE(call["voice_sent"].get<int>(), 10);
        ++perPhone[call["dialled"].get<std::string>()];
        ownPhones.insert(call["phone"].get<std::string>());
    }
    // Round-robin over the ten phones, each call from a socket of its own among those up at once.
    EXPECT_EQ(perPhone.size(), 10u);
    for (const auto& [phone, count] : perPhone) {
        EXPECT_EQ(count, 5) << phone;
    }
    EXPECT_GE(ownPhones.size(), 10u);
    EXPECT_EQ(run.summary["calls"]["attempted"], 50);
    EXPECT_EQ(run.summary["calls"]["completed"], 50);
    EXPECT_EQ(run.summary["calls"]["failed"], 0);
    EXPECT_EQ(run.summary["calls"]["most_up"], 10);
    EXPECT_EQ(run.summary["voice_received"], 500);
    EXPECT_EQ(run.summary["kept_pace"], true);

    // The phones saw the same calls: each a call of its own, the voice all there.
    answer.Signal(SIGINT);
    const PeerResult answered = answer.Finish();
    ASSERT_EQ(answered.exitCode, 0) << answered.err;
    EXPECT_EQ(answered.summary["phones"], 10);
    EXPECT_EQ(answered.summary["calls_total"], 50);
    EXPECT_EQ(answered.summary["voice_received"], run.summary["voice_sent"]);
    EXPECT_EQ(answered.summary["voice_sent"], run.summary["voice_received"]);
    EXPECT_EQ(answered.summary["seq_gaps"], 0);
}

// A signal ends every call that is up with its Disconnect, then the summary, at once.
TEST_F(PeerCallsTest, ASignalEndsEveryCallWithItsDisconnect) {
    PeerProcess answer(Words(QString("answer --bind %1 --local-port 23270 --phones 4 "
                                     "--reply-to-sender --quiet --json")
                                 .arg(kHost)));
    ASSERT_TRUE(answer.WaitUntilAnswering());
    PeerProcess calls(
        Words("calls 127.0.19.1:23270-23273 --calls 4 --concurrent 4 --rate 100 "
              "--talk-seconds 30 --json"));
    std::this_thread::sleep_for(800ms);  // four calls up and talking, 29 s still to go
    const auto signalled = std::chrono::steady_clock::now();
    calls.Signal(SIGINT);
    const PeerResult run = calls.Finish(5s);
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 1s);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(Calls(run).size(), 4u);
    EXPECT_EQ(run.summary["calls"]["interrupted"], 4) << run.summary.dump();
    answer.Signal(SIGINT);
    const PeerResult answered = answer.Finish();
    // Ring, Talk and Disconnect of each, every one accepted: no phone is left in a call.
    EXPECT_EQ(answered.summary["requests_received"], 12) << answered.summary.dump();
    EXPECT_EQ(answered.summary["replies_sent"], 12);
}

// What a run leaves besides its lines: a JUnit file with a case per call, a page with a row per
// call (the failed one in red), and running figures while the calls go on.
TEST_F(PeerCallsTest, EachCallIsACaseARowAndCountedWhileTheRunGoes) {
    PeerProcess answer(Words(QString("answer --bind %1 --local-port 23250 --phones 3 "
                                     "--reply-to-sender --quiet")
                                 .arg(kHost)));
    ASSERT_TRUE(answer.WaitUntilAnswering());
    const QString junit = directory.filePath("calls.xml"), page = directory.filePath("calls.html");
    // The fourth port has no phone: its one call fails with no reply.
    const PeerResult run = RunPeer(
        Words("calls 127.0.19.1:23250-23253 --calls 6 --concurrent 3 --rate 20 --talk-seconds 0.6 "
              "--timeout 300 --json --interval 0.2 --junit " +
              junit + " --report " + page));
    ASSERT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(run.summary["failed"]["no_reply"], 1) << run.summary.dump();

    const Lint valid = ValidateJUnit(junit);
    EXPECT_EQ(valid.exitCode, 0) << valid.errors;
    EXPECT_EQ(XPathValue(junit, "count(//testcase[starts-with(@name, 'call ')])"), "6");
    EXPECT_EQ(XPathValue(junit, "count(//testcase[starts-with(@name, 'call ')][failure])"), "1");

    std::ifstream in(page.toStdString());
    const std::string html((std::istreambuf_iterator<char>(in)), {});
    const std::size_t section = html.find("<section id=\"calls\">");
    ASSERT_NE(section, std::string::npos);
    const std::string rows = html.substr(section, html.find("</section>", section) - section);
    const auto count = [&](const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = rows.find(what); at != std::string::npos;
             at = rows.find(what, at + 1)) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(count("<rect "), 6u);
    EXPECT_EQ(count("#d32f2f"), 1u);

    std::vector<nlohmann::json> intervals;
    for (const auto& line : run.lines) {
        if (line.contains("interval")) {
            intervals.push_back(line["interval"]);
        }
    }
    ASSERT_GE(intervals.size(), 2u) << run.out;
    EXPECT_GT(intervals.front()["calls_up"].get<int>(), 0) << intervals.front().dump();
    EXPECT_LE(intervals.front()["calls_up"].get<int>(), 3);
    EXPECT_EQ(run.lines.back().contains("summary"), true);
}

// Each call from an address of its own: the phone's rules take a Disconnect from the address it
// remembers, whatever the port, so a refused caller sharing it would end the accepted call.
TEST_F(PeerCallsTest, ABusyPhoneRefusesAllButTheFirstCall) {
    Answer(23220, 1);
    const PeerResult run =
        RunPeer(Words("calls 127.0.19.1:23220 --calls 5 --concurrent 5 --rate 1000 "
                      "--talk-seconds 0.5 --bind 127.0.19.11-127.0.19.15 --json"));
    ASSERT_EQ(run.exitCode, 1) << run.out << run.err;
    int passed = 0, refused = 0;
    for (const auto& call : Calls(run)) {
        passed += call["verdict"] == "pass";
        refused += call["reason"] == "refused";
    }
    EXPECT_EQ(passed, 1);
    EXPECT_EQ(refused, 4);
    EXPECT_EQ(run.summary["calls"]["completed"], 1);
    EXPECT_EQ(run.summary["failed"]["refused"], 4);
    EXPECT_EQ(run.summary["failed"]["no_reply"], 0);
    ASSERT_EQ(run.summary["reasons"].size(), 1u);
    EXPECT_NE(run.summary["reasons"][0].get<std::string>().find("4 refused"), std::string::npos);
}

TEST_F(PeerCallsTest, APhoneThatStopsAnsweringFailsOnlyItsOwnCallsWithNoReply) {
    Answer(23230, 3);
    PeerProcess calls(
        Words("calls 127.0.19.1:23230-23232 --calls 12 --concurrent 3 --rate 10 "
              "--talk-seconds 0.2 --timeout 300 --json"));
    ASSERT_TRUE(calls.WaitUntil([](const std::string& out, const std::string&) {
        return out.find("\"call\"") != out.npos;
    }));
    ::kill(static_cast<pid_t>(phones[2]->Pid()), SIGSTOP);
    const PeerResult run = calls.Finish();
    ::kill(static_cast<pid_t>(phones[2]->Pid()), SIGCONT);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    int failed = 0;
    for (const auto& call : Calls(run)) {
        if (call["verdict"] == "fail") {
            ++failed;
            EXPECT_EQ(call["dialled"], "127.0.19.1:23232");
            EXPECT_EQ(call["reason"], "no reply");
        }
    }
    EXPECT_GE(failed, 3);
    EXPECT_EQ(run.summary["failed"]["no_reply"], failed);
    EXPECT_EQ(run.summary["calls"]["completed"], 12 - failed);
}

// Accepts every request at once, from any number of callers: a phone that is never busy.
class AcceptingPhone {
  public:
    explicit AcceptingPhone(std::uint16_t port) : fd_(BoundSocket(kHost, port)) {
        thread_ = std::thread([this] {
            std::array<std::uint8_t, 2048> buffer{};
            while (!stop_) {
                pollfd ready{fd_, POLLIN, 0};
                if (::poll(&ready, 1, 50) <= 0) {
                    continue;
                }
                sockaddr_in from{};
                socklen_t length = sizeof from;
                const ssize_t size = ::recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                                reinterpret_cast<sockaddr*>(&from), &length);
                if (size == static_cast<ssize_t>(phone::kRequestSize)) {
                    const phone::PhoneDatagram header =
                        phone::ReadHeader(std::span(buffer.data(), phone::kRequestSize));
                    if (header.Command == phone::CmdRing) {
                        const std::lock_guard<std::mutex> lock(mutex_);
                        rings_.emplace_back(header.Target, peer::EndpointText(from));
                    }
                    phone::SetStatus(std::span(buffer.data(), phone::kRequestSize),
                                     phone::StatusAccepted);
                    ::sendto(fd_, buffer.data(), phone::kRequestSize, 0,
                             reinterpret_cast<const sockaddr*>(&from), sizeof from);
                }
            }
        });
    }
    ~AcceptingPhone() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }

    // The Target and source of each Ring, in the order they came.
    std::vector<std::pair<int, std::string>> Rings() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return rings_;
    }

  private:
    int fd_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::pair<int, std::string>> rings_;
    std::thread thread_;
};

// Each call dials the next number of --targets, from a port of --local-ports, and says which.
TEST_F(PeerCallsTest, CallsDialTheirNumbersInTurnFromTheirOwnPorts) {
    AcceptingPhone phone(23280);
    const PeerResult run =
        RunPeer(Words("calls 127.0.19.1:23280 --calls 4 --concurrent 1 --rate 50 --talk-seconds 0 "
                      "--targets 7-9 --local-ports 23281-23282 --json"));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto rings = phone.Rings();
    const auto calls = Calls(run);
    ASSERT_EQ(rings.size(), 4u);
    ASSERT_EQ(calls.size(), 4u);
    const int targets[] = {7, 8, 9, 7};
    for (std::size_t i = 0; i < rings.size(); ++i) {
        EXPECT_EQ(rings[i].first, targets[i]) << i;
        const std::string port = rings[i].second.substr(rings[i].second.find(':') + 1);
        EXPECT_TRUE(port == "23281" || port == "23282") << rings[i].second;
        EXPECT_EQ(calls[i]["target"], targets[i]);
        EXPECT_EQ(calls[i]["phone"], rings[i].second) << calls[i].dump();
    }
}

TEST_F(PeerCallsTest, APeerStarvedOfItsCoreBlamesItselfNotTheDevice) {
    const QString voice = VoiceFile(200);
    AcceptingPhone phone(23240);
    // A busy loop on the peer's core, at a priority the peer's own cannot match.
    const pid_t hog = ::fork();
    if (hog == 0) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(0, &one);
        ::sched_setaffinity(0, sizeof one, &one);
        for (;;) {
        }
    }
    const PeerResult run =
        RunPeer(Words("calls 127.0.19.1:23240 --calls 150 --concurrent 150 --rate 2000 "
                      "--talk-seconds 1 --timeout 5000 --quiet --json --play " +
                      voice),
                60s, Words("taskset -c 0 nice -n 19"));
    ::kill(hog, SIGKILL);
    ::waitpid(hog, nullptr, 0);
    ASSERT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_EQ(run.summary["kept_pace"], false);
    EXPECT_GT(run.summary["stalls"].get<int>(), 0);
    ASSERT_EQ(run.summary["reasons"].size(), 1u) << run.summary.dump();
    EXPECT_EQ(run.summary["reasons"][0].get<std::string>().rfind("the peer could not keep pace", 0),
              0u);
}

// Each row: the arguments after HOST (or the HOST itself), refused before anything is sent.
TEST_F(PeerCallsTest, BadInputExitsTwoWithAReasonAndSendsNothing) {
    const int listener = BoundSocket("127.0.19.9", 23290);
    const QString huge = directory.filePath("huge.raw");  // 256 MiB and a byte, sparse
    std::ofstream(huge.toStdString()).close();
    std::filesystem::resize_file(huge.toStdString(), (256u << 20) + 1);
    const std::vector<std::pair<QString, QString>> rows = {
        {"127.0.19.9:23290", "--calls 5 --play " + huge},
        {"127.0.19.9:23290", "--calls 5 --concurrent 0"},
        {"127.0.19.9:23290", "--calls 5 --rate nan"},
        {"127.0.19.9:23290", "--calls 5 --rate inf"},
        {"127.0.19.9:23290", "--calls 5 --rate 0"},
        {"127.0.19.9:23290", "--calls 5 --rate -3"},
        {"127.0.19.9:23290", "--calls 0"},
        {"127.0.19.9:23290", "--talk-seconds 1"},
        {"127.0.19.9:23291-23290", "--calls 5"},
        {"127.0.19.9:65535-65536", "--calls 5"},
        {"127.0.19.9:23290", "--calls 5 --local-ports 9-8"},
        {"127.0.19.9:23290", "--calls 5 --local-ports 65535-65536"},
        {"127.0.19.9:23290", "--calls 5 --local-ports 23300-23303 --concurrent 5"},
        {"127.0.19.9:23290", "--calls 5 --targets 5-2"},
        {"127.0.19.9:23290", "--calls 5 --targets 1-65536"},
        {"127.0.19.9:23290", "--calls 5 --targets -32769"},
        {"127.0.19.9:23290", "--calls 5 --bind 127.0.19.5-127.0.19.2"},
        {"127.0.19.9:23290", "--calls 5 --bind 127.0.19"},
    };
    for (const auto& [host, options] : rows) {
        const PeerResult run = RunPeer(QStringList{"calls", host} + Words(options));
        EXPECT_EQ(run.exitCode, 2) << host.toStdString() << " " << options.toStdString();
        EXPECT_FALSE(run.err.empty()) << options.toStdString();
        EXPECT_TRUE(run.out.empty()) << options.toStdString() << run.out;
    }
    pollfd ready{listener, POLLIN, 0};
    EXPECT_EQ(::poll(&ready, 1, 100), 0) << "a refused run sent something";
    ::close(listener);
}

}  // namespace
