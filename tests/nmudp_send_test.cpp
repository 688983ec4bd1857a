// TNMUDP's send path and host resolution, against real peers on loopback and, where names are
// needed, the hosts file and DNS responder of the test namespace.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QObject>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/NMUDP.h"
#include "support/EventWaits.h"
#include "support/RecordingBoxes.h"
#include "support/UdpPeer.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

bool TestNamesAvailable() {
    const char* value = std::getenv("UDPPHONE_TEST_NAMESPACE");
    return value != nullptr && std::string(value) == "1";
}

#define REQUIRE_TEST_NAMES()                                                 \
    if (!TestNamesAvailable()) {                                             \
        GTEST_SKIP() << "needs the names of the test namespace (./test.sh)"; \
    }

std::vector<std::uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

std::string Text(const std::optional<Datagram>& datagram) {
    return datagram ? std::string(datagram->bytes.begin(), datagram->bytes.end()) : "<nothing>";
}

// Peers at several loopback addresses on one port: every send of a component uses RemotePort.
std::vector<std::unique_ptr<UdpPeer>> PeersOnOnePort(std::vector<std::string> addresses) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::vector<std::unique_ptr<UdpPeer>> peers;
        try {
            for (const std::string& address : addresses) {
                std::uint16_t port = peers.empty() ? 0 : peers.front()->Port();
                peers.push_back(std::make_unique<UdpPeer>(address, port));
            }
            return peers;
        } catch (const std::runtime_error&) {
        }
    }
    throw std::runtime_error("no port is free on every peer address");
}

// Processor time of the calling thread: the GUI thread, which a spinning wait would keep busy.
std::chrono::microseconds ThreadTime() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    auto micros = [](const timeval& t) { return t.tv_sec * 1'000'000L + t.tv_usec; };
    return std::chrono::microseconds(micros(usage.ru_utime) + micros(usage.ru_stime));
}

// The share of the wall time that `work` kept this thread on a processor.
template <class Work>
double BusyShare(Work&& work) {
    const auto wallStart = Clock::now();
    const auto cpuStart = ThreadTime();
    work();
    const auto cpu = ThreadTime() - cpuStart;
    return std::chrono::duration<double>(cpu) / (Clock::now() - wallStart);
}

const std::string kCanceled = "UDPSockError: Host Lookup Canceled";

class NmudpSendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetBoxes();
        socket_.SetLocalPort(0);
        socket_.Loaded();
        socket_.RemoteHost = peer_.Address();
        socket_.RemotePort = peer_.Port();
        socket_.ReportLevel = 2;
        socket_.OnStatus = [this](TNMUDP&, const std::string& text) { statuses_.push_back(text); };
        socket_.OnDataSend = [this](TNMUDP& sender) {
            EXPECT_EQ(&sender, &socket_);
            ++sent_;
        };
    }

    // The class and message of what the send raised, empty when it raised nothing.
    std::string Send(std::span<const std::uint8_t> bytes, std::int32_t count) {
        try {
            socket_.SendDatagram(bytes, count);
        } catch (const Exception& error) {
            return std::string(error.ClassName()) + ": " + error.Message();
        }
        return "";
    }
    std::string Send(std::string_view text) {
        return Send(Bytes(text), static_cast<std::int32_t>(text.size()));
    }
    std::string SendTo(const std::string& host, std::string_view text) {
        socket_.RemoteHost = host;
        return Send(text);
    }

    UdpPeer peer_{"127.0.0.2"};
    TNMUDP socket_;
    std::vector<std::string> statuses_;
    int sent_ = 0;
    QObject timers_;  // context of the test's single shots, so none outlives the test
};

TEST_F(NmudpSendTest, CountZeroAsksOnBufferInvalidOnceAndWorksOnTheSendsOwnCopy) {
    enum class Handler { None, LeavesUnhandled, LeavesCountZero, Fills };
    UdpPeer local("127.0.0.1");
    socket_.RemotePort = local.Port();
    for (Handler mode :
         {Handler::None, Handler::LeavesUnhandled, Handler::LeavesCountZero, Handler::Fills}) {
        SCOPED_TRACE(static_cast<int>(mode));
        socket_.RemoteHost = "localhost";  // a lookup started too early shows in LookupDone
        std::vector<std::uint8_t> caller(416, 0x11);
        int calls = 0;
        std::size_t seenLength = 0;
        socket_.OnBufferInvalid = nullptr;
        if (mode != Handler::None) {
            socket_.OnBufferInvalid = [&](bool& handled, std::span<std::uint8_t> buffer,
                                          std::int32_t& length) {
                ++calls;
                seenLength = buffer.size();
                handled = mode != Handler::LeavesUnhandled;
                if (mode == Handler::Fills) {
                    std::fill_n(buffer.begin(), 12, 0x5A);
                    length = 12;
                }
            };
        }
        std::string raised = Send(caller, 0);
        EXPECT_EQ(caller, std::vector<std::uint8_t>(416, 0x11));
        EXPECT_EQ(calls, mode == Handler::None ? 0 : 1);
        if (mode == Handler::Fills) {
            EXPECT_EQ(raised, "");
            EXPECT_EQ(seenLength, 416u);
            EXPECT_EQ(Text(local.Receive()), std::string(12, 0x5A));
        } else {
            EXPECT_EQ(raised, "Exception: Invalid buffer");
            EXPECT_FALSE(socket_.LookupDone());
            EXPECT_EQ(sent_, 0);
        }
    }
}

TEST_F(NmudpSendTest, SendsTheCountedBytesOfItsCopyAndNothingForANegativeCount) {
    std::vector<std::uint8_t> buffer(416);
    for (std::size_t i = 0; i < buffer.size(); ++i) {
        buffer[i] = static_cast<std::uint8_t>(i * 3 + 1);
    }
    const struct {
        std::int32_t count;
        std::size_t delivered;  // 0: nothing arrives
    } cases[] = {{-1, 0}, {INT32_MIN, 0}, {12, 12}, {416, 416}, {417, 416}, {100000, 416}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        sent_ = 0;
        EXPECT_EQ(Send(buffer, c.count), "");
        EXPECT_EQ(sent_, 1);  // raised whether or not the datagram went out
        if (c.delivered == 0) {
            EXPECT_FALSE(peer_.Receive(200ms));
        } else {
            auto datagram = peer_.Receive();
            ASSERT_TRUE(datagram);
            EXPECT_EQ(datagram->bytes,
                      std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + c.delivered));
        }
    }
    EXPECT_EQ(statuses_, std::vector<std::string>(std::size(cases), "Sending Data"));
}

TEST_F(NmudpSendTest, OnlyWhatInetAddrConvertsSkipsTheLookupAndOnlyLow16PortBitsCount) {
    ASSERT_FALSE(socket_.LookupDone());
    EXPECT_EQ(SendTo("0.0.0.0", "null"), "UDPSockError: Null Remote Address");
    EXPECT_TRUE(statuses_.empty());
    EXPECT_EQ(sent_, 0);

    bool dispatched = false;
    QTimer::singleShot(0, &timers_, [&] { dispatched = true; });
    socket_.RemotePort = peer_.Port() + 65536;
    EXPECT_EQ(SendTo("127.0.0.2", "dotted"), "");
    EXPECT_EQ(SendTo("127.2", "short form"), "");  // inet_addr's own shorter form
    EXPECT_FALSE(dispatched);
    EXPECT_FALSE(socket_.LookupDone());
    EXPECT_EQ(Text(peer_.Receive()), "dotted");
    EXPECT_EQ(Text(peer_.Receive()), "short form");
    EXPECT_EQ(statuses_, std::vector<std::string>(2, "Sending Data"));
    EXPECT_EQ(sent_, 2);

    // All ones is inet_addr's failure value, so that text goes through the lookup, which takes
    // it; the system then refuses the broadcast.
    EXPECT_EQ(SendTo("255.255.255.255", "everyone"), "");
    EXPECT_TRUE(socket_.LookupDone());
    EXPECT_TRUE(socket_.LookupSucceeded());
    EXPECT_EQ(sent_, 3);
}

TEST_F(NmudpSendTest, ASendNestedInAStatusHandlerLeavesTheOuterDestinationAlone) {
    auto peers = PeersOnOnePort({"127.0.0.2", "127.0.0.3"});
    socket_.RemotePort = peers[0]->Port();
    socket_.OnStatus = [&](TNMUDP&, const std::string&) {
        if (socket_.SendsInProgress() == 1) {
            SendTo("127.0.0.3", "inner");
        }
    };
    EXPECT_EQ(SendTo("127.0.0.2", "outer"), "");
    EXPECT_EQ(Text(peers[0]->Receive()), "outer");
    EXPECT_EQ(Text(peers[1]->Receive()), "inner");
}

TEST_F(NmudpSendTest, AnUnresolvableNameFailsAfterAtMostTwoLookups) {
    std::vector<std::string> names = {"", "::1"};
    if (TestNamesAvailable()) {
        names.push_back(std::string(300, 'a'));
        names.push_back(std::string(60, 'b') + "." + std::string(60, 'c') + "." +
                        std::string(60, 'd') + ".invalid");
        names.push_back("nothing.invalid");
    }
    enum class Handler { None, LeavesUnhandled, Retries };
    for (const std::string& name : names) {
        for (Handler mode : {Handler::None, Handler::LeavesUnhandled, Handler::Retries}) {
            SCOPED_TRACE(name + " / " + std::to_string(static_cast<int>(mode)));
            int calls = 0;
            socket_.OnInvalidHost = nullptr;
            if (mode != Handler::None) {
                socket_.OnInvalidHost = [&](bool& handled) {
                    ++calls;
                    handled = mode == Handler::Retries;
                    socket_.RemoteHost = "127.0.0.2";  // the retry keeps the name it started with
                };
            }
            EXPECT_EQ(SendTo(name, "lost"), kCanceled);
            EXPECT_EQ(calls, mode == Handler::None ? 0 : 1);
        }
    }
    EXPECT_TRUE(statuses_.empty());
    EXPECT_EQ(sent_, 0);
    EXPECT_FALSE(peer_.Receive(100ms));
    EXPECT_EQ(Send("after"), "");  // the handler's RemoteHost counts for the next send
    EXPECT_EQ(Text(peer_.Receive()), "after");
}

TEST_F(NmudpSendTest, OnInvalidHostAsksForExactlyOneSecondLookup) {
    REQUIRE_TEST_NAMES();
    for (bool retry : {false, true}) {
        SCOPED_TRACE(retry);
        socket_.OnInvalidHost = [&](bool& handled) { handled = retry; };
        const auto start = Clock::now();
        EXPECT_EQ(SendTo("delay-300.slow.invalid", "lost"), kCanceled);
        const auto elapsed = Clock::now() - start;
        EXPECT_GE(elapsed, retry ? 580ms : 290ms);
        EXPECT_LT(elapsed, retry ? 1500ms : 560ms);
    }
}

TEST_F(NmudpSendTest, NamesFromHostsFileAndDnsGoToTheirFirstAddress) {
    REQUIRE_TEST_NAMES();
    auto peers = PeersOnOnePort({"127.0.0.2", "127.0.0.3", "127.0.0.4"});
    socket_.RemotePort = peers[0]->Port();
    EXPECT_EQ(SendTo("multi.dns.test", "multi"), "");
    EXPECT_EQ(SendTo("peer4.test", "hosts"), "");
    EXPECT_EQ(Text(peers[0]->Receive()), "multi");
    EXPECT_EQ(Text(peers[2]->Receive()), "hosts");
    Pump(100ms);
    EXPECT_TRUE(peers[1]->Drain().empty());
}

TEST_F(NmudpSendTest, WaitingForALookupBlocksInsteadOfSpinning) {
    REQUIRE_TEST_NAMES();
    // What a busy loop gets of a processor right now, on this machine under its current load.
    const double spinning = BusyShare([] {
        for (const auto end = Clock::now() + 300ms; Clock::now() < end;) {
        }
    });
    const auto start = Clock::now();
    const double waiting =
        BusyShare([&] { EXPECT_EQ(SendTo("delay-1000.ip-127-0-0-2.dns.test", "patient"), ""); });
    EXPECT_GE(Clock::now() - start, 950ms);
    EXPECT_LT(waiting, spinning / 5);
    EXPECT_EQ(Text(peer_.Receive()), "patient");
}

TEST_F(NmudpSendTest, NestedSendsEachWaitForAndUseTheirOwnAnswer) {
    REQUIRE_TEST_NAMES();
    auto peers = PeersOnOnePort({"127.0.0.2", "127.0.0.3", "127.0.0.4"});
    socket_.RemotePort = peers[0]->Port();
    std::vector<std::string> steps;
    auto nested = [&](std::string host, std::string text) {
        return [&, host, text] {
            steps.push_back(text + " starts");
            steps.push_back(text + " ends: " + SendTo(host, text));
        };
    };
    // The outer answer arrives while "three" still waits for its own, later one.
    QTimer::singleShot(100, &timers_, nested("peer4.test", "four"));
    QTimer::singleShot(500, &timers_, nested("delay-500.ip-127-0-0-3.dns.test", "three"));
    EXPECT_EQ(SendTo("delay-800.ip-127-0-0-2.dns.test", "two"), "");
    EXPECT_EQ(steps, (std::vector<std::string>{"four starts", "four ends: ", "three starts",
                                               "three ends: "}));
    const char* expected[] = {"two", "three", "four"};
    Pump(100ms);
    for (std::size_t i = 0; i < peers.size(); ++i) {
        auto datagrams = peers[i]->Drain();
        ASSERT_EQ(datagrams.size(), 1u) << peers[i]->Address();
        EXPECT_EQ(Text(datagrams[0]), expected[i]);
    }
}

TEST_F(NmudpSendTest, AnAnsweredSendHoldsBackReceivedDatagramsUntilItReturns) {
    REQUIRE_TEST_NAMES();
    UdpPeer sender("127.0.0.5");
    bool outerReturned = false;
    std::vector<bool> handledAfterOuter;
    socket_.OnDataReceived = [&](TNMUDP&, std::int32_t, const std::string&, std::int32_t) {
        handledAfterOuter.push_back(outerReturned);
        if (handledAfterOuter.size() == 1) {
            throw Exception("raised during the wait");
        }
    };
    auto sendAt = [&](int milliseconds) {
        QTimer::singleShot(milliseconds, &timers_,
                           [&] { sender.SendTo(Bytes("x"), "127.0.0.1", socket_.BoundPort()); });
    };
    sendAt(100);  // no answer yet: handled inside the wait
    QTimer::singleShot(150, &timers_, [&] { SendTo("delay-600.ip-127-0-0-2.dns.test", "inner"); });
    sendAt(450);  // the outer send has its answer: held until the stack unwinds
    EXPECT_EQ(SendTo("delay-300.ip-127-0-0-2.dns.test", "outer"), "");
    outerReturned = true;
    ASSERT_TRUE(WaitFor([&] { return handledAfterOuter.size() == 2; }));
    EXPECT_EQ(handledAfterOuter, (std::vector<bool>{false, true}));
    ASSERT_EQ(Boxes().shown.size(), 1u);
    EXPECT_EQ(Boxes().shown[0].text, "raised during the wait.");
    EXPECT_EQ(sent_, 2);
}

TEST_F(NmudpSendTest, AFloodWhileEveryReplyWaitsForALookupNestsAtMostFourDeep) {
    REQUIRE_TEST_NAMES();
    constexpr int kBurst = 50;
    UdpPeer sender("127.0.0.5");
    socket_.RemoteHost = "delay-100.ip-127-0-0-2.dns.test";
    int depth = 0;
    int deepest = 0;
    int mostSends = 0;
    std::vector<int> handled;
    socket_.OnDataReceived = [&](TNMUDP& sender_, std::int32_t, const std::string&, std::int32_t) {
        std::vector<std::uint8_t> datagram(2048);
        std::int32_t count = 0;
        sender_.ReadDatagram(datagram, count);
        handled.push_back(datagram[0]);
        deepest = std::max(deepest, ++depth);
        sender_.SendDatagram(datagram, count);
        mostSends = std::max(mostSends, socket_.SendsInProgress());
        --depth;
    };
    for (int i = 0; i < kBurst; ++i) {
        sender.SendTo(std::vector<std::uint8_t>{static_cast<std::uint8_t>(i)}, "127.0.0.1",
                      socket_.BoundPort());
    }
    ASSERT_TRUE(WaitFor([&] { return handled.size() == kBurst && depth == 0; }, 30s));
    std::vector<int> inOrder(kBurst);
    for (int i = 0; i < kBurst; ++i) {
        inOrder[i] = i;
    }
    EXPECT_EQ(handled, inOrder);
    EXPECT_GE(deepest, 2);  // nesting does happen below the bound
    EXPECT_LE(deepest, 4);
    EXPECT_LE(mostSends, 4);
    EXPECT_TRUE(Boxes().shown.empty());
    std::vector<int> replies;
    WaitFor([&] {
        for (const Datagram& reply : peer_.Drain()) {
            replies.push_back(reply.bytes.at(0));
        }
        return replies.size() >= kBurst;
    });
    std::sort(replies.begin(), replies.end());
    EXPECT_EQ(replies, inOrder);
}

TEST_F(NmudpSendTest, ALookupStillRunningAtDestructionNeverReachesTheComponent) {
    REQUIRE_TEST_NAMES();
    auto socket = std::make_unique<TNMUDP>();
    socket->RemotePort = peer_.Port();
    QTimer::singleShot(100, &timers_, [&] { socket->LookupCancelled = true; });
    socket->RemoteHost = "delay-500.ip-127-0-0-2.dns.test";
    const auto start = Clock::now();
    EXPECT_THROW(socket->SendDatagram(Bytes("cancelled"), 9), UDPSockError);
    EXPECT_LT(Clock::now() - start, 400ms);
    // Every send clears the request to cancel.
    socket->RemoteHost = "ip-127-0-0-2.dns.test";
    EXPECT_NO_THROW(socket->SendDatagram(Bytes("next"), 4));
    EXPECT_EQ(Text(peer_.Receive()), "next");
    // The first lookup is still outstanding; its answer must find nothing left to touch, not
    // even a new component that may take the old one's place in memory.
    socket.reset();
    TNMUDP successor;
    Pump(700ms);
    EXPECT_FALSE(successor.LookupDone());
    EXPECT_TRUE(peer_.Drain().empty());
}

}  // namespace
