// What the peer's verdict counts: replies only from where the requests went, answers from the
// address they were asked on, exactly the requests asked for, and each call's own figures.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <QTemporaryDir>
#include <atomic>
#include <thread>

#include "support/PeerProcess.h"
#include "support/PhoneCalls.h"

using namespace testsupport;

namespace {

// A device that says nothing, and a stranger on another address that answers every request the
// device gets, as if it were the device.
class Impostor {
  public:
    Impostor() : device_("127.0.18.51", 21501), stranger_("127.0.18.52") {
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd ready{device_.Descriptor(), POLLIN, 0};
                if (::poll(&ready, 1, 10) != 1) {
                    continue;
                }
                std::uint8_t bytes[2048];
                sockaddr_in from{};
                socklen_t length = sizeof from;
                const ssize_t size = ::recvfrom(device_.Descriptor(), bytes, sizeof bytes, 0,
                                                reinterpret_cast<sockaddr*>(&from), &length);
                if (size == 12) {
                    bytes[10] = 1;  // accepted
                    ::sendto(stranger_.Descriptor(), bytes, 12, 0,
                             reinterpret_cast<const sockaddr*>(&from), sizeof from);
                }
            }
        });
    }
    ~Impostor() {
        stop_ = true;
        thread_.join();
    }
    std::string Stranger() const { return "127.0.18.52:" + std::to_string(stranger_.Port()); }

  private:
    UdpPeer device_, stranger_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string Reasons(const PeerResult& run) {
    return run.summary.value("reasons", nlohmann::json::array()).dump();
}

}  // namespace

TEST(PeerVerdictTest, RepliesFromAStrangerFailEveryCommand) {
    Impostor impostor;
    const QString device = "127.0.18.51:21501";
    const QString scenario = UDPPHONE_SOURCE_DIR "/scenarios/full-call.scenario";
    const std::string listening = "on 127.0.18.53:21503";
    const std::string stranger = "from " + impostor.Stranger() + ": not from the peer";
    const struct {
        QStringList arguments;
        std::string reason;
        int unexpected;  // at least
    } cases[] = {
        {{"call", device, "--timeout", "300"},
         "Ring: no reply within 300 ms " + listening + "; one came from " + impostor.Stranger() +
             ", not from 127.0.18.51:21501",
         2},
        {{"send", device, "--timeout", "300"}, "no reply within 300 ms " + listening, 1},
        {{"send", device, "--timeout", "5000", "--expect-status", "none"},
         stranger + ", where nothing was expected",
         1},
        {{"load", device, "--rate", "200", "--duration", "0.05", "--timeout", "300"},
         "0.000 % answered, at least 100.000 % wanted",
         10},
        {{"run", scenario, device}, "expect reply ring status=1: nothing that matches", 1},
    };
    for (const auto& c : cases) {
        const PeerResult run = RunPeer(
            c.arguments + QStringList{"--bind", "127.0.18.53", "--local-port", "21503", "--json"});
        const std::string name = c.arguments.join(' ').toStdString();
        EXPECT_EQ(run.exitCode, 1) << name << run.out << run.err;
        EXPECT_NE(Reasons(run).find(c.reason), std::string::npos) << name << Reasons(run);
        const auto& figures = c.arguments.first() == "run" ? run.summary["scenario"] : run.summary;
        EXPECT_GE(figures["unexpected"].get<int>(), c.unexpected) << name;
        EXPECT_NE(figures["unexpected_datagrams"].dump().find(stranger), std::string::npos)
            << name << figures.dump();
    }
}

TEST(PeerVerdictTest, AnswerOnEveryAddressRepliesFromTheOneItWasAskedOn) {
    PeerProcess answer({"answer", "--bind", "0.0.0.0", "--local-port", "21511", "--reply-to-sender",
                        "--count", "2", "--duration", "30", "--json"});
    ASSERT_TRUE(answer.WaitUntilAnswering());
    // The route from 0.0.0.0 to any loopback address leaves from 127.0.0.1; send counts a reply
    // only from where it sent.
    const PeerResult send = RunPeer({"send", "127.0.0.2:21511", "--bind", "127.0.18.56",
                                     "--local-port", "0", "--timeout", "10000", "--json"});
    EXPECT_EQ(send.exitCode, 0) << send.out << send.err;
    UdpPeer caller("127.0.18.57");
    caller.SendTo(Request(1, 1, 5), "127.0.18.58", 21511);
    const auto reply = caller.Receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->fromAddress, "127.0.18.58");
    EXPECT_EQ(reply->bytes, Request(1, 1, 5, 1));
    const PeerResult answered = answer.Finish();
    EXPECT_EQ(answered.exitCode, 0) << answered.err;
}

TEST(PeerVerdictTest, CountAnswersExactlyThatManyOfTheRequestsQueued) {
    PeerProcess answer({"answer", "--bind", "127.0.8.61", "--local-port", "21611",
                        "--reply-to-sender", "--count", "1", "--duration", "30", "--json"});
    ASSERT_TRUE(answer.WaitUntilAnswering());
    // Stopped, so that all twenty wait in its socket together.
    answer.Signal(SIGSTOP);
    UdpPeer caller("127.0.8.62");
    for (int seq = 1; seq <= 20; ++seq) {
        caller.SendTo(Request(seq, 1, 5), "127.0.8.61", 21611);
    }
    answer.Signal(SIGCONT);
    const PeerResult answered = answer.Finish();
    EXPECT_EQ(answered.exitCode, 0) << answered.err;
    EXPECT_EQ(answered.summary["requests_received"], 1);
    EXPECT_EQ(answered.summary["replies_sent"], 1);
    ASSERT_TRUE(caller.Receive());
    EXPECT_FALSE(caller.Receive(std::chrono::milliseconds(200)));
}

TEST(PeerVerdictTest, EachCallToOneAnswerHasItsOwnFigures) {
    QTemporaryDir directory;
    const auto path = [&](const char* name) { return directory.filePath(name); };
    WriteFile(path("a").toStdString(), Pattern(2'001, 1));  // 6 chunks
    WriteFile(path("b").toStdString(), Pattern(987, 2));    // 3 chunks, for each call
    PeerProcess answer({"answer", "--bind", "127.0.8.63", "--local-port", "21631", "--peer-port",
                        "21632", "--play", path("b"), "--count", "6", "--duration", "30", "--json",
                        "--quiet"});
    ASSERT_TRUE(answer.WaitUntilAnswering());
    for (int call = 0; call < 2; ++call) {
        const PeerResult called =
            RunPeer({"call", "127.0.8.63:21631", "--bind", "127.0.8.64", "--local-port", "21632",
                     "--play", path("a"), "--talk-seconds", "0.5", "--quiet", "--json"});
        EXPECT_EQ(called.exitCode, 0) << called.out << called.err;
        EXPECT_EQ(called.summary["voice_received"], 3) << call;
        // A pause between the calls that no spacing may take for its own.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    const PeerResult answered = answer.Finish();
    ASSERT_EQ(answered.exitCode, 0) << answered.out << answered.err;
    const auto& summary = answered.summary;
    // Both calls numbered from 1: no duplicates, in the calls or in the totals.
    EXPECT_EQ(summary["seq_duplicates"], 0);
    EXPECT_EQ(summary["seq_gaps"], 0);
    EXPECT_EQ(summary["calls_total"], 2);
    ASSERT_EQ(summary["calls"].size(), 2u) << summary.dump();
    for (const auto& call : summary["calls"]) {
        EXPECT_EQ(call["caller"], "127.0.8.64");
        EXPECT_EQ(call["requests_received"], 3);
        EXPECT_EQ(call["replies_sent"], 3);
        EXPECT_EQ(call["voice_received"], 6);
        EXPECT_EQ(call["voice_sent"], 3);
        EXPECT_EQ(call["seq_duplicates"], 0);
        EXPECT_LT(call["pacing_received_ms"]["max"].get<double>(), 400);
    }
    EXPECT_EQ(summary["voice_received"], 12);
    EXPECT_LT(summary["pacing_received_ms"]["max"].get<double>(), 400);
    EXPECT_LT(summary["pacing_sent_ms"]["max"].get<double>(), 400);
}
