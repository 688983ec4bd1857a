// udpphone-peer ended by a signal or by a reader that quits: wherever the run waits, it ends at
// once, in order, with its summary, and every file it wrote whole.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <chrono>
#include <fstream>
#include <thread>

#include "peer/scenario/Scenario.h"
#include "support/EventWaits.h"
#include "support/PeerProcess.h"
#include "support/PhoneCalls.h"
#include "support/Tshark.h"

using namespace std::chrono_literals;
using namespace testsupport;

namespace {

class PeerSignalsTest : public ::testing::Test {
  protected:
    QString Path(const char* name) const { return directory.filePath(name); }
    QString Fifo(const char* name) const {
        EXPECT_EQ(::mkfifo(Path(name).toLocal8Bit().constData(), 0600), 0);
        return Path(name);
    }
    // The capture read back whole, every datagram of the summary in it; the scenario parses.
    void ExpectWhole(const PeerResult& run, const QString& capture, const QString& scenario) {
        if (!TsharkUnusable()) {
            const auto rows = TsharkFields(capture, {"frame.number"});
            EXPECT_EQ(rows.size(), run.summary["capture"]["datagrams"].get<std::size_t>());
            EXPECT_EQ(rows.size(), run.summary["datagrams_sent"].get<std::size_t>() +
                                       run.summary["datagrams_received"].get<std::size_t>());
        }
        try {
            EXPECT_GT(peer::ParseScenario(scenario.toStdString()).steps.size(), 3u);
        } catch (const std::exception& error) {
            ADD_FAILURE() << error.what();
        }
    }
    QTemporaryDir directory;
};

}  // namespace

TEST_F(PeerSignalsTest, ASignalEndsTheRunAtOnceWhereverItWaits) {
    if (!InTestNamespace()) {
        GTEST_SKIP() << "needs the test namespace's resolver, which can answer late";
    }
    UdpPeer listener("127.0.9.41");
    const QString host = "127.0.9.41:" + QString::number(listener.Port());
    const QString fifo = Fifo("fifo");
    // Past the resolver's own timeout of 3 s: a lookup that gets no answer.
    const QString late = "delay-60000.ip-127-0-0-2.dns.test";
    const struct {
        QStringList arguments;
        int signal;
        const char* said;  // what the peer says once it waits; none: it waits on a lookup
        int sent;
    } cases[] = {
        // During the set-up: nothing sent, the run fails as interrupted.
        {{"answer", "--record", fifo}, SIGINT, "--record: waiting for a reader", 0},
        {{"call", host, "--pcap", fifo}, SIGHUP, "--pcap: waiting for a reader", 0},
        {{"call", late}, SIGTERM, nullptr, 0},
        {{"send", late, "--pcap", Path("lookup.pcapng")}, SIGINT, nullptr, 0},
        // A second until the next request.
        {{"load", host, "--rate", "1", "--duration", "100"}, SIGINT, "\"dir\":\"out\"", 1},
    };
    for (const auto& c : cases) {
        const std::string name = c.arguments.join(' ').toStdString();
        PeerProcess peer(c.arguments + Words("--bind 127.0.9.42 --local-port 0 --json"));
        ASSERT_TRUE(peer.WaitUntil(
            [&](const std::string& out, const std::string& err) {
                return c.said ? (out + err).find(c.said) != std::string::npos
                              : ThreadsOf(peer.Pid()) > 1;
            },
            3s))
            << name;
        const auto signalled = std::chrono::steady_clock::now();
        peer.Signal(c.signal);
        const PeerResult run = peer.Finish(10s);
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, 500ms) << name;
        EXPECT_EQ(run.exitCode, 1) << name << ": " << run.err;
        EXPECT_EQ(run.summary["verdict"], "fail") << name;
        EXPECT_EQ(run.summary["reasons"][0], "interrupted by a signal") << name;
        EXPECT_EQ(run.summary["datagrams_sent"], c.sent) << name;
        EXPECT_EQ(listener.Drain().size(), static_cast<std::size_t>(c.sent)) << name;
    }
}

TEST_F(PeerSignalsTest, HangUpAndAQuittingReaderLeaveEveryFileWhole) {
    WriteFile(Path("a").toStdString(), Pattern(2'000, 1));
    WriteFile(Path("b").toStdString(), Pattern(20'000, 2));

    // A hang-up ends an answer like SIGTERM: in order, a pass as it has no end condition.
    PeerProcess answer(Words("answer --bind 127.0.9.43 --local-port 22643 --peer-port 22644 --json")
                       << "--save" << Path("answer.scenario") << "--pcap" << Path("answer.pcapng"));
    ASSERT_TRUE(answer.WaitUntilAnswering());
    const PeerResult call =
        RunPeer(Words("call 127.0.9.43:22643 --bind 127.0.9.44 --local-port 22644 --json --play")
                << Path("a"));
    ASSERT_EQ(call.exitCode, 0) << call.out << call.err;
    answer.Signal(SIGHUP);
    const PeerResult hungUp = answer.Finish();
    EXPECT_EQ(hungUp.exitCode, 0) << hungUp.out << hungUp.err;
    ExpectWhole(hungUp, Path("answer.pcapng"), Path("answer.scenario"));

    // The reader of the caller's --record pipe quits after the first voice: that output ends,
    // the call goes on to its Disconnect and fails for the voice it could not write.
    PeerProcess streamer(Words("answer --bind 127.0.9.45 --local-port 22645 --peer-port 22646 "
                               "--until disconnect --duration 30 --quiet --play")
                         << Path("b"));
    ASSERT_TRUE(streamer.WaitUntilAnswering());
    const QString fifo = Fifo("voice");
    PeerProcess caller(Words("call 127.0.9.45:22645 --bind 127.0.9.46 --local-port 22646 "
                             "--talk-seconds 1 --json --record")
                       << fifo << "--save" << Path("call.scenario") << "--pcap"
                       << Path("call.pcapng"));
    const int reader = ::open(fifo.toLocal8Bit().constData(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    char first[400];
    EXPECT_TRUE(WaitFor([&] { return ::read(reader, first, sizeof first) > 0; }, 10s));
    ::close(reader);
    const PeerResult called = caller.Finish();
    EXPECT_EQ(called.exitCode, 1) << called.out << called.err;
    EXPECT_NE(called.err.find("--record: \"" + fifo.toStdString() + "\" ended: its reader quit"),
              std::string::npos)
        << called.err;
    const std::string reasons = called.summary["reasons"].dump();
    EXPECT_NE(reasons.find("voice datagrams could not be written"), std::string::npos) << reasons;
    EXPECT_EQ(called.summary["requests_answered"], 3);  // Ring, Talk and Disconnect
    ExpectWhole(called, Path("call.pcapng"), Path("call.scenario"));
    EXPECT_EQ(streamer.Finish().exitCode, 0);
}

TEST_F(PeerSignalsTest, AReaderThatStopsReadingHoldsTheRunBackOnlyUntilASignal) {
    // Standard output a pipe whose reader takes nothing until the signal: the lines fill it, then
    // wait for room. A reader that still takes nothing ends that output at once; one that takes,
    // however slowly, gets every line and the summary.
    for (const bool drains : {false, true}) {
        SCOPED_TRACE(drains ? "a slow reader" : "a reader that stopped");
        const QString fifo = Fifo(drains ? "slow" : "stopped");
        const int reader = ::open(fifo.toLocal8Bit().constData(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
        PeerProcess answer(
            Words("answer --bind 127.0.9.47 --local-port 22647 --reply-to-sender --json"),
            {"/bin/sh", "-c", "exec \"$@\" >" + fifo, "sh"});
        ASSERT_TRUE(answer.WaitUntilAnswering());
        RunPeer(
            Words("load 127.0.9.47:22647 --bind 127.0.9.48 --local-port 0 --rate 5000 --duration "
                  "0.4 --timeout 100 --quiet"));
        const auto signalled = std::chrono::steady_clock::now();
        answer.Signal(SIGINT);
        std::string lines;
        std::thread slowReader;
        if (drains) {
            ::fcntl(reader, F_SETFL, O_RDONLY);
            slowReader = std::thread([&] {
                char chunk[4096];
                for (ssize_t got; (got = ::read(reader, chunk, sizeof chunk)) > 0;) {
                    lines.append(chunk, static_cast<std::size_t>(got));
                    std::this_thread::sleep_for(20ms);
                }
            });
        }
        const PeerResult run = answer.Finish(20s);
        if (slowReader.joinable()) {
            slowReader.join();
        }
        EXPECT_EQ(run.exitCode, 0) << run.err;
        const bool ended =
            run.err.find("the lines and the summary: standard output ended") != std::string::npos;
        EXPECT_EQ(ended, !drains) << run.err;
        if (drains) {
            EXPECT_GT(lines.size(), 65536u);  // more than the pipe held at the signal
            EXPECT_NE(lines.rfind("{\"summary\":"), std::string::npos);
        } else {
            EXPECT_LT(std::chrono::steady_clock::now() - signalled, 500ms);
        }
        ::close(reader);
    }
}
