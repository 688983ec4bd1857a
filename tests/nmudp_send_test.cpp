// TNMUDP's send path and host resolution, against real peers on loopback and, where names are
// needed, the hosts file and DNS responder of the test namespace.

#include <gtest/gtest.h>
#include <time.h>

#include <QObject>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <stdexcept>

#include "net/NMUDP.h"
#include "shell/Guard.h"
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

std::vector<std::uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

std::string Text(const std::optional<Datagram>& datagram) {
    return datagram ? std::string(datagram->bytes.begin(), datagram->bytes.end()) : "<nothing>";
}

// The share of the wall time that `work` kept this thread, the GUI thread, on a processor.
double BusyShare(const std::function<void()>& work) {
    auto threadTime = [] {
        timespec t{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
    };
    const auto wallStart = Clock::now();
    const auto cpuStart = threadTime();
    work();
    return std::chrono::duration<double>(threadTime() - cpuStart) / (Clock::now() - wallStart);
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
    std::string SendTo(const std::string& host, std::string_view text) {
        socket_.RemoteHost = host;
        return Send(Bytes(text), static_cast<std::int32_t>(text.size()));
    }

    // Peers at several loopback addresses on one port, which RemotePort then names.
    std::vector<std::unique_ptr<UdpPeer>> PeersOnOnePort(std::vector<std::string> addresses) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            std::vector<std::unique_ptr<UdpPeer>> peers;
            try {
                for (const std::string& address : addresses) {
                    const std::uint16_t port = peers.empty() ? 0 : peers.front()->Port();
                    peers.push_back(std::make_unique<UdpPeer>(address, port));
                }
                socket_.RemotePort = peers.front()->Port();
                return peers;
            } catch (const std::runtime_error&) {
            }
        }
        throw std::runtime_error("no port is free on every peer address");
    }

    UdpPeer peer_{"127.0.0.2"};
    TNMUDP socket_;
    std::vector<std::string> statuses_;
    int sent_ = 0;
    QObject timers_;  // context of the test's single shots, so none outlives the test
};

class NmudpLookupTest : public NmudpSendTest {
  protected:
    void SetUp() override {
        if (!TestNamesAvailable()) {
            GTEST_SKIP() << "needs the names of the test namespace (./test.sh)";
        }
        NmudpSendTest::SetUp();
    }
};

TEST_F(NmudpSendTest, SendsTheCountedBytesOfItsOwnCopyAndAsksOnBufferInvalidOnceForZero) {
    enum class Handler { None, LeavesUnhandled, LeavesCountZero, Fills };
    UdpPeer local("127.0.0.1");
    socket_.RemoteHost = "localhost";  // a lookup started too early shows in LookupDone
    socket_.RemotePort = local.Port();
    std::vector<std::uint8_t> caller(416);
    std::iota(caller.begin(), caller.end(), std::uint8_t{1});
    const auto original = caller;
    auto check = [&](std::int32_t count, Handler handler, std::size_t delivered) {
        SCOPED_TRACE(::testing::Message() << count << " / " << static_cast<int>(handler));
        const bool refused = count == 0 && handler != Handler::Fills;
        int calls = 0;
        socket_.OnBufferInvalid = nullptr;
        if (handler != Handler::None) {
            socket_.OnBufferInvalid = [&](bool& handled, std::span<std::uint8_t> buffer,
                                          std::int32_t& length) {
                ++calls;
                EXPECT_EQ(buffer.size(), 416u);
                handled = handler != Handler::LeavesUnhandled;
                if (handler == Handler::Fills) {
                    std::fill_n(buffer.begin(), 12, 0x5A);
                    length = 12;
                }
            };
        }
        sent_ = 0;
        EXPECT_EQ(Send(caller, count), refused ? "Exception: Invalid buffer" : "");
        EXPECT_EQ(caller, original);
        EXPECT_EQ(calls, count == 0 && handler != Handler::None ? 1 : 0);
        EXPECT_EQ(socket_.LookupDone(), !refused);
        EXPECT_EQ(sent_, refused ? 0 : 1);  // raised whether or not the datagram went out
        const auto datagram = local.Receive(delivered == 0 ? 200ms : 5s);
        ASSERT_EQ(datagram.has_value(), delivered != 0);
        if (datagram) {
            const auto& sent = count == 0 ? std::vector<std::uint8_t>(12, 0x5A) : original;
            EXPECT_EQ(datagram->bytes, std::vector(sent.begin(), sent.begin() + delivered));
        }
    };
    for (Handler handler : {Handler::None, Handler::LeavesUnhandled, Handler::LeavesCountZero}) {
        check(0, handler, 0);
    }
    const std::pair<std::int32_t, std::size_t> counts[] = {
        // count, bytes that arrive
        {0, 12}, {-1, 0}, {INT32_MIN, 0}, {12, 12}, {416, 416}, {417, 416}, {100000, 416}};
    for (const auto& [count, delivered] : counts) {
        check(count, Handler::Fills, delivered);
    }
    EXPECT_EQ(statuses_, std::vector<std::string>(std::size(counts), "Sending Data"));
}

TEST_F(NmudpSendTest, OnlyWhatInetAddrConvertsSkipsTheLookupAndOnlyLow16PortBitsCount) {
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

    // All ones is inet_addr's failure value, so that text goes through the lookup, which takes
    // it; the system then refuses the broadcast.
    EXPECT_EQ(SendTo("255.255.255.255", "everyone"), "");
    EXPECT_TRUE(socket_.LookupDone() && socket_.LookupSucceeded());
    EXPECT_EQ(sent_, 3);
}

TEST_F(NmudpSendTest, AnUnresolvableNameFailsAfterAtMostTwoLookups) {
    std::vector<std::string> names = {"", "::1"};
    if (TestNamesAvailable()) {  // names of any length reach the resolver whole
        names.push_back(std::string(300, 'a'));
        names.push_back(std::string(60, 'b') + "." + std::string(60, 'c') + "." +
                        std::string(60, 'd') + ".invalid");
        names.push_back("delay-300.slow.invalid");
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
            const auto start = Clock::now();
            EXPECT_EQ(SendTo(name, "lost"), kCanceled);
            EXPECT_EQ(calls, mode == Handler::None ? 0 : 1);
            if (name.starts_with("delay-300.")) {  // exactly one second lookup, on request
                const auto elapsed = Clock::now() - start;
                EXPECT_GE(elapsed, mode == Handler::Retries ? 580ms : 290ms);
                EXPECT_LT(elapsed, mode == Handler::Retries ? 1500ms : 560ms);
            }
        }
    }
    EXPECT_TRUE(statuses_.empty());
    EXPECT_EQ(sent_, 0);
    EXPECT_FALSE(peer_.Receive(100ms));
    EXPECT_EQ(Send(Bytes("after"), 5), "");  // the handler's RemoteHost counts for the next send
    EXPECT_EQ(Text(peer_.Receive()), "after");
}

TEST_F(NmudpLookupTest, WaitingForALookupBlocksInsteadOfSpinning) {
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

TEST_F(NmudpLookupTest, NestedSendsEachWaitForAndGoToTheirOwnDestination) {
    auto peers = PeersOnOnePort({"127.0.0.2", "127.0.0.3", "127.0.0.4"});
    std::vector<std::string> steps;
    auto nested = [&](std::string host, std::string text) {
        return [&, host, text] {
            steps.push_back(text + " starts");
            steps.push_back(text + " ends: " + SendTo(host, text));
        };
    };
    // The outer answer arrives while "three" still waits for its own, later one. A name of the
    // hosts file or of DNS with several addresses goes to the first. A send from the outer
    // send's status handler, after its address check, leaves the outer destination alone.
    QTimer::singleShot(100, &timers_, nested("peer4.test", "four"));
    QTimer::singleShot(250, &timers_, nested("multi.dns.test", "multi"));
    QTimer::singleShot(500, &timers_, nested("delay-500.ip-127-0-0-3.dns.test", "three"));
    socket_.OnStatus = [&](TNMUDP&, const std::string&) {
        if (socket_.SendsInProgress() == 1) {
            nested("127.0.0.3", "status")();
        }
    };
    EXPECT_EQ(SendTo("delay-800.ip-127-0-0-2.dns.test", "two"), "");
    EXPECT_EQ(steps, (std::vector<std::string>{"four starts", "four ends: ", "multi starts",
                                               "multi ends: ", "three starts",
                                               "three ends: ", "status starts", "status ends: "}));
    const std::vector<std::string> expected[] = {{"multi", "two"}, {"three", "status"}, {"four"}};
    Pump(100ms);
    for (std::size_t i = 0; i < peers.size(); ++i) {
        std::vector<std::string> texts;
        for (const Datagram& datagram : peers[i]->Drain()) {
            texts.push_back(Text(datagram));
        }
        EXPECT_EQ(texts, expected[i]) << peers[i]->Address();
    }
}

TEST_F(NmudpLookupTest, AnAnsweredSendHoldsBackReceivedDatagramsUntilItReturns) {
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

// Behind a box opened inside the wait, the answer to the outer lookup changes nothing: the wait
// cannot end before the box closes, and datagrams are handled as behind a box outside any wait.
TEST_F(NmudpLookupTest, BehindABoxOpenedInTheWaitDatagramsKeepBeingHandled) {
    UdpPeer sender("127.0.0.5");
    std::vector<int> handledBehindTheBox;
    socket_.OnDataReceived = [&](TNMUDP&, std::int32_t, const std::string&, std::int32_t) {
        handledBehindTheBox.push_back(Boxes().open);
    };
    Boxes().whileOpen = [](const RecordedBox&) { Pump(2s); };
    QTimer::singleShot(100, &timers_,
                       [] { shell::Guarded([] { throw Exception("failed inside the wait"); }); });
    for (int at : {200, 600, 1000, 1400}) {
        QTimer::singleShot(at, &timers_,
                           [&] { sender.SendTo(Bytes("x"), "127.0.0.1", socket_.BoundPort()); });
    }
    EXPECT_EQ(SendTo("delay-300.ip-127-0-0-2.dns.test", "outer"), "");
    EXPECT_EQ(handledBehindTheBox, (std::vector<int>{1, 1, 1, 1}));
    ASSERT_EQ(Boxes().shown.size(), 1u);
    EXPECT_EQ(Text(peer_.Receive()), "outer");
}

TEST_F(NmudpLookupTest, AFloodWhileEveryReplyWaitsForALookupNestsAtMostFourDeep) {
    constexpr int kBurst = 50;
    UdpPeer sender("127.0.0.5");
    socket_.RemoteHost = "delay-100.ip-127-0-0-2.dns.test";
    int depth = 0, deepest = 0, mostSends = 0;
    std::vector<int> handled;
    socket_.OnDataReceived = [&](TNMUDP& self, std::int32_t, const std::string&, std::int32_t) {
        std::vector<std::uint8_t> datagram(2048);
        std::int32_t count = 0;
        self.ReadDatagram(datagram, count);
        handled.push_back(datagram[0]);
        deepest = std::max(deepest, ++depth);
        self.SendDatagram(datagram, count);
        mostSends = std::max(mostSends, self.SendsInProgress());
        --depth;
    };
    for (int i = 0; i < kBurst; ++i) {
        sender.SendTo(std::vector<std::uint8_t>{static_cast<std::uint8_t>(i)}, "127.0.0.1",
                      socket_.BoundPort());
    }
    ASSERT_TRUE(WaitFor([&] { return handled.size() == kBurst && depth == 0; }, 30s));
    std::vector<int> inOrder(kBurst);
    std::iota(inOrder.begin(), inOrder.end(), 0);
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

TEST_F(NmudpLookupTest, ALookupStillRunningAtDestructionNeverReachesTheComponent) {
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
