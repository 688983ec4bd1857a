// TNMUDP's lifecycle and receive path, against real peers on loopback.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>

#include "net/NMUDP.h"
#include "shell/Timer.h"
#include "support/EventWaits.h"
#include "support/RecordingBoxes.h"
#include "support/UdpPeer.h"

using namespace testsupport;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint8_t kUntouched = 0xEE;
const std::string kTooManyFiles = "Unknown Error No. " + std::to_string(EMFILE);

Bytes Pattern(std::size_t size, unsigned seed) {
    Bytes bytes(size);
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<std::uint8_t>(seed += 7); });
    return bytes;
}

Bytes LastDatagram(const TNMUDP& socket) {
    Bytes buffer(2048);
    std::int32_t count = 0;
    socket.ReadDatagram(buffer, count);
    buffer.resize(static_cast<std::size_t>(std::max(count, 0)));
    return buffer;
}

// The message of the UDPSockError that `work` raised, empty when it raised none.
std::string Raised(const std::function<void()>& work) {
    try {
        work();
    } catch (const UDPSockError& error) {
        return error.Message();
    }
    return "";
}

// Runs `work` with the descriptor limit lowered so that the next socket fails with EMFILE;
// `reused` is a descriptor closed just before, which would otherwise be taken again.
std::string RaisedWithoutDescriptors(const std::function<void()>& work, int reused = INT_MAX) {
    // The sanitizers check a type with descriptors of their own the first time they meet it.
    Raised([] { throw UDPSockError("met before the descriptors run out"); });
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    const int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(lowestFree);
    rlimit lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(std::min(lowestFree, reused));
    ::setrlimit(RLIMIT_NOFILE, &lowered);
    const std::string raised = Raised(work);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    return raised;
}

struct Event {
    std::int32_t numberBytes = 0;
    std::string fromIP;
    std::int32_t port = 0;
    std::int32_t readCount = 0;
    Bytes buffer;  // what ReadDatagram left in a marked 2048-byte buffer
};

class NmudpReceiveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetBoxes();
        socket_.SetLocalPort(0);
        socket_.Loaded();  // the loaded step binds again: silent, same port
        port_ = socket_.BoundPort();
        ASSERT_NE(port_, 0);
    }

    // Records each event after reading its datagram as a handler must, twice: the same again.
    void RecordEvents() {
        socket_.OnDataReceived = [this](TNMUDP& sender, std::int32_t numberBytes,
                                        const std::string& fromIP, std::int32_t port) {
            EXPECT_EQ(&sender, &socket_);
            Event event{numberBytes, fromIP, port, 0, Bytes(2048, kUntouched)};
            sender.ReadDatagram(event.buffer, event.readCount);
            Event again{0, "", 0, 0, Bytes(2048, kUntouched)};
            sender.ReadDatagram(again.buffer, again.readCount);
            EXPECT_EQ(again.readCount, event.readCount);
            EXPECT_EQ(again.buffer, event.buffer);
            events_.push_back(std::move(event));
        };
    }
    bool WaitForEvents(std::size_t count) {
        return WaitFor([&] { return events_.size() >= count; });
    }
    void Deliver(const Bytes& bytes) { peer_.SendTo(bytes, "127.0.0.1", port_); }

    UdpPeer peer_{"127.1.2.30"};
    TNMUDP socket_;
    std::uint16_t port_ = 0;
    std::vector<Event> events_;
};

TEST_F(NmudpReceiveTest, DeliversUpTo2048BytesWholeAndLongerDatagramsAsFailedReceives) {
    RecordEvents();
    for (std::size_t size : {0, 1, 12, 2048, 2049, 65507}) {
        SCOPED_TRACE(size);
        events_.clear();
        const Bytes sent = Pattern(size, static_cast<unsigned>(size));
        Deliver(sent);
        ASSERT_TRUE(WaitForEvents(1));
        const bool fits = size <= 2048;
        const Event& event = events_[0];
        EXPECT_EQ(event.numberBytes, fits ? static_cast<std::int32_t>(size) : -1);
        EXPECT_EQ(event.readCount, event.numberBytes);
        const auto copied = static_cast<std::ptrdiff_t>(fits ? size : 0);
        EXPECT_TRUE(std::equal(sent.begin(), sent.begin() + copied, event.buffer.begin()));
        EXPECT_EQ(std::count(event.buffer.begin() + copied, event.buffer.end(), kUntouched),
                  2048 - copied);
        if (fits) {
            EXPECT_EQ(event.fromIP, "127.1.2.30");
            EXPECT_EQ(event.port, peer_.Port());
        }
    }
    Pump(50ms);
    EXPECT_EQ(events_.size(), 1u);
}

TEST_F(NmudpReceiveTest, TakesOneDatagramPerNotificationWithOrWithoutAHandler) {
    for (unsigned i = 1; i <= 3; ++i) {
        Deliver(Pattern(i, i));
    }
    // Other messages, and a lookup completion nobody waits for, take nothing off the socket.
    socket_.SocketWindowProc({SocketNotifyMessage + 1, 0, kFdRead});
    socket_.SocketWindowProc({SocketNotifyMessage, 0, 4 << 16});
    EXPECT_TRUE(LastDatagram(socket_).empty());
    for (unsigned i = 1; i <= 2; ++i) {
        socket_.SocketWindowProc({SocketNotifyMessage, 0, kFdRead});
        EXPECT_EQ(LastDatagram(socket_), Pattern(i, i));
    }
    // The third is taken by the socket's own notification and stays readable.
    ASSERT_TRUE(WaitFor([&] { return LastDatagram(socket_) == Pattern(3, 3); }));
    RecordEvents();
    socket_.SocketWindowProc({SocketNotifyMessage, 0, kFdRead});  // a wake-up with nothing queued
    Pump(50ms);
    EXPECT_TRUE(events_.empty());
    EXPECT_EQ(LastDatagram(socket_), Pattern(3, 3));
}

TEST_F(NmudpReceiveTest, ReportsEachStatusTextOnlyUpToReportLevel) {
    const std::string sending = "Sending Data";
    const std::string checking = "Checking Error In Error Manager";
    const std::string lookingUp = "Looking Up Error Message" + kTooManyFiles;
    const std::pair<std::int32_t, std::vector<std::string>> cases[] = {
        {1, {}}, {2, {sending}}, {8, {sending, lookingUp}}, {16, {sending, checking, lookingUp}},
        {0, {}}, {-1, {}}};
    for (const auto& [level, expected] : cases) {
        SCOPED_TRACE(level);
        TNMUDP socket;
        socket.SetLocalPort(0);
        std::vector<std::string> texts;
        std::vector<std::pair<std::uint16_t, std::string>> socketErrors;
        socket.OnStatus = [&](TNMUDP&, const std::string& text) { texts.push_back(text); };
        socket.OnSocketError = [&](TNMUDP&, std::uint16_t number, const std::string& text) {
            socketErrors.emplace_back(number, text);
        };
        socket.ReportLevel = level;
        socket.RemoteHost = peer_.Address();
        socket.RemotePort = peer_.Port();
        socket.SendDatagram(Pattern(12, 0), 12);
        EXPECT_TRUE(peer_.Receive());
        EXPECT_EQ(
            RaisedWithoutDescriptors([&] { socket.SetLocalPort(1234); }, socket.SocketHandle()),
            kTooManyFiles);
        EXPECT_EQ(texts, expected);
        EXPECT_EQ(socket.StatusText(), expected.empty() ? "" : expected.back());
        EXPECT_EQ(socketErrors, (decltype(socketErrors){{EMFILE, kTooManyFiles}}));
        EXPECT_EQ(socket.LastErrorNumber(), EMFILE);
        // The old socket is gone, LocalPort keeps its value, and a later write recovers.
        EXPECT_EQ(socket.SocketHandle(), -1);
        EXPECT_EQ(socket.LocalPort(), 0);
        socket.SetLocalPort(0);
        EXPECT_NE(socket.BoundPort(), 0);
    }
}

TEST(NmudpLifecycleTest, DestructionClosesTheSocketAndAFailedConstructionLeavesNothing) {
    auto first = std::make_unique<TNMUDP>();
    first->SetLocalPort(0);
    const std::uint16_t port = first->BoundPort();
    first->RemoteHost = "0.0.0.0";
    EXPECT_EQ(Raised([&] { first->SendDatagram(Pattern(1, 1), 1); }), "Null Remote Address");
    first.reset();
    TNMUDP second;
    EXPECT_NO_THROW(second.SetLocalPort(port));
    EXPECT_EQ(RaisedWithoutDescriptors([] { TNMUDP socket; }), kTooManyFiles);
}

TEST_F(NmudpReceiveTest, EveryLocalPortWriteRebindsItsLow16BitsAndATakenPortRaisesAClearError) {
    TNMUDP other;
    for (std::int32_t value : {std::int32_t{port_}, port_ + 65536}) {
        EXPECT_EQ(
            Raised([&] { other.SetLocalPort(value); }),
            "Cannot bind UDP port " + std::to_string(port_) + ": " + std::strerror(EADDRINUSE));
    }
    RecordEvents();
    for (std::int32_t value : {port_ + 65536, port_ - 65536, std::int32_t{port_}}) {
        socket_.SetLocalPort(value);
        EXPECT_EQ(socket_.LocalPort(), value);
        EXPECT_EQ(socket_.BoundPort(), port_);
    }
    Deliver(Pattern(4, 4));  // queued on the socket that the same value closes
    socket_.SetLocalPort(port_);
    EXPECT_NO_THROW(socket_.Loaded());  // a further loaded step neither fails nor doubles events
    Deliver(Pattern(5, 5));
    ASSERT_TRUE(WaitForEvents(1));

    // Also from inside the handler of the notification the old socket is delivering.
    socket_.OnDataReceived = [&](TNMUDP& sender, std::int32_t numberBytes, const std::string&,
                                 std::int32_t) {
        events_.push_back({numberBytes, "", 0, 0, {}});
        sender.SetLocalPort(port_);
    };
    Deliver(Pattern(6, 6));
    Deliver(Pattern(7, 7));  // lost with the old socket
    ASSERT_TRUE(WaitForEvents(2));
    Deliver(Pattern(8, 8));
    ASSERT_TRUE(WaitForEvents(3));
    Pump(100ms);
    std::vector<std::int32_t> counts;
    for (const Event& event : events_) {
        counts.push_back(event.numberBytes);
    }
    EXPECT_EQ(counts, (std::vector<std::int32_t>{5, 6, 8}));
}

}  // namespace

// Datagrams that queued up while the loop was busy are handed over in a burst, one notification
// each and in order; a handler that ends its own component or socket mid-burst ends the burst.
TEST(NmudpBurstTest, QueuedDatagramsArriveInOrderAndAHandlerMayEndTheBurst) {
    UdpPeer peer{"127.1.2.31"};
    for (const char* disruption : {"none", "rebind", "destroy"}) {
        SCOPED_TRACE(disruption);
        auto socket = std::make_unique<TNMUDP>();
        socket->SetLocalPort(0);
        socket->Loaded();
        const std::uint16_t port = socket->BoundPort();
        std::vector<Bytes> received;
        socket->OnDataReceived = [&](TNMUDP& sender, std::int32_t, const std::string&,
                                     std::int32_t) {
            received.push_back(LastDatagram(sender));
            if (received.size() == 3 && disruption == std::string("rebind")) {
                sender.SetLocalPort(port);  // the new socket starts with an empty queue
            } else if (received.size() == 3 && disruption == std::string("destroy")) {
                socket.reset();
            }
        };
        for (unsigned i = 1; i <= 20; ++i) {
            peer.SendTo(Pattern(i, i), "127.0.0.1", port);
        }
        const std::size_t expected = disruption == std::string("none") ? 20 : 3;
        ASSERT_TRUE(WaitFor([&] { return received.size() >= expected; }));
        Pump(100ms);
        ASSERT_EQ(received.size(), expected);
        for (unsigned i = 1; i <= expected; ++i) {
            EXPECT_EQ(received[i - 1], Pattern(i, i));
        }
        if (socket) {
            peer.SendTo(Pattern(1, 99), "127.0.0.1", port);
            ASSERT_TRUE(WaitFor([&] { return received.size() == expected + 1; }));
            EXPECT_EQ(received.back(), Pattern(1, 99));
        }
    }
}

// A tick that falls due in the middle of a burst does not wait for the rest of it: at most one
// more datagram comes first.
TEST(NmudpBurstTest, ATickThatFallsDueEndsTheBurst) {
    UdpPeer peer{"127.1.2.32"};
    TNMUDP socket;
    socket.SetLocalPort(0);
    socket.Loaded();
    std::vector<std::string> order;
    std::unique_ptr<TTimer> timer;
    QObject window;
    socket.OnDataReceived = [&](TNMUDP&, std::int32_t, const std::string&, std::int32_t) {
        order.push_back("datagram");
        if (order.size() > 1) {
            return;
        }
        // Armed and waited for within the first handler, so that the tick falls due early in a
        // burst that would otherwise take all the datagrams.
        timer = std::make_unique<TTimer>();
        timer->SetInterval(2);
        timer->SetOnTimer([&](TTimer& sender) {
            order.push_back("tick");
            sender.SetEnabled(false);
        });
        const auto until = std::chrono::steady_clock::now() + 1s;
        while (shell::TimeToNextTick() != 0ms && std::chrono::steady_clock::now() < until) {
        }
        // As a handler that changes the window does: it asks for a paint.
        QCoreApplication::postEvent(&window, new QEvent(QEvent::User));
    };
    for (unsigned i = 1; i <= 40; ++i) {
        peer.SendTo(Pattern(12, i), "127.0.0.1", socket.BoundPort());
    }
    ASSERT_TRUE(WaitFor([&] { return std::count(order.begin(), order.end(), "datagram") == 40; }));
    ASSERT_TRUE(WaitFor([&] { return order.size() == 41; }));
    EXPECT_LE(std::find(order.begin(), order.end(), "tick") - order.begin(), 2);
}
