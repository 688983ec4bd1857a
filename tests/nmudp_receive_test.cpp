// TNMUDP's lifecycle and receive path, against real peers on loopback.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/NMUDP.h"
#include "support/EventWaits.h"
#include "support/RecordingBoxes.h"
#include "support/UdpPeer.h"

using namespace testsupport;

namespace {

constexpr std::uint8_t kUntouched = 0xEE;

std::vector<std::uint8_t> Pattern(std::size_t size, unsigned seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + seed);
    }
    return bytes;
}

struct Event {
    std::int32_t numberBytes = 0;
    std::string fromIP;
    std::int32_t port = 0;
    std::int32_t readCount = 0;
    std::vector<std::uint8_t> buffer;  // what ReadDatagram left in a 2048-byte buffer
};

// Reads the datagram as a handler must, into a marked buffer, and checks that a second read
// gives the same again.
Event ReadTwice(TNMUDP& socket, std::int32_t numberBytes, const std::string& fromIP,
                std::int32_t port) {
    Event event{numberBytes, fromIP, port, 0, std::vector<std::uint8_t>(2048, kUntouched)};
    socket.ReadDatagram(event.buffer, event.readCount);
    std::vector<std::uint8_t> again(2048, kUntouched);
    std::int32_t againCount = 0;
    socket.ReadDatagram(again, againCount);
    EXPECT_EQ(againCount, event.readCount);
    EXPECT_EQ(again, event.buffer);
    return event;
}

std::vector<std::uint8_t> LastDatagram(const TNMUDP& socket) {
    std::vector<std::uint8_t> buffer(2048);
    std::int32_t count = 0;
    socket.ReadDatagram(buffer, count);
    buffer.resize(static_cast<std::size_t>(std::max(count, 0)));
    return buffer;
}

// Binds a probe to 0.0.0.0:`port` (0: any) and gives the port it got, nothing when taken.
std::optional<std::uint16_t> ProbePort(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    std::optional<std::uint16_t> bound;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        bound = ntohs(address.sin_port);
    }
    ::close(fd);
    return bound;
}

// Lowers the descriptor limit so that the next socket the component creates fails with EMFILE.
// `reused` is a descriptor the component closes just before, which it would otherwise take again.
class DescriptorsExhausted {
  public:
    explicit DescriptorsExhausted(int reused = INT_MAX) {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::close(lowestFree);
        rlimit lowered = saved_;
        lowered.rlim_cur = static_cast<rlim_t>(std::min(lowestFree, reused));
        ::setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~DescriptorsExhausted() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
    DescriptorsExhausted(const DescriptorsExhausted&) = delete;
    DescriptorsExhausted& operator=(const DescriptorsExhausted&) = delete;

  private:
    rlimit saved_{};
};

const std::string kTooManyFiles = "Unknown Error No. " + std::to_string(EMFILE);

class NmudpReceiveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetBoxes();
        socket_.SetLocalPort(0);
        socket_.Loaded();  // the loaded step binds again: silent, same port
        port_ = socket_.BoundPort();
        ASSERT_NE(port_, 0);
    }

    void RecordEvents() {
        socket_.OnDataReceived = [this](TNMUDP& sender, std::int32_t numberBytes,
                                        const std::string& fromIP, std::int32_t port) {
            EXPECT_EQ(&sender, &socket_);
            events_.push_back(ReadTwice(sender, numberBytes, fromIP, port));
        };
    }
    bool WaitForEvents(std::size_t count) {
        return WaitFor([&] { return events_.size() >= count; });
    }

    TNMUDP socket_;
    std::uint16_t port_ = 0;
    std::vector<Event> events_;
};

TEST_F(NmudpReceiveTest, DeliversUpTo2048BytesWholeAndLongerDatagramsAsFailedReceives) {
    RecordEvents();
    UdpPeer peer("127.1.2.30");
    const std::size_t sizes[] = {0, 1, 12, 2048, 2049, 65507};
    for (std::size_t size : sizes) {
        SCOPED_TRACE(size);
        events_.clear();
        const auto sent = Pattern(size, static_cast<unsigned>(size));
        peer.SendTo(sent, "127.0.0.1", port_);
        ASSERT_TRUE(WaitForEvents(1));
        const bool fits = size <= 2048;
        const std::int32_t expected = fits ? static_cast<std::int32_t>(size) : -1;
        const Event& event = events_[0];
        EXPECT_EQ(event.numberBytes, expected);
        EXPECT_EQ(event.readCount, expected);
        const auto copied = static_cast<std::ptrdiff_t>(fits ? size : 0);
        EXPECT_TRUE(std::equal(sent.begin(), sent.begin() + copied, event.buffer.begin()));
        EXPECT_TRUE(std::all_of(event.buffer.begin() + copied, event.buffer.end(),
                                [](std::uint8_t byte) { return byte == kUntouched; }));
        if (fits) {
            EXPECT_EQ(event.fromIP, "127.1.2.30");
            EXPECT_EQ(event.port, peer.Port());
        }
    }
    Pump(50ms);
    EXPECT_EQ(events_.size(), 1u);
}

TEST_F(NmudpReceiveTest, TakesOneDatagramPerNotificationWithOrWithoutAHandler) {
    UdpPeer peer;
    for (unsigned i = 1; i <= 3; ++i) {
        peer.SendTo(Pattern(i, i), "127.0.0.1", port_);
    }
    // Other messages, and a lookup completion nobody waits for, take nothing off the socket.
    socket_.SocketWindowProc({SocketNotifyMessage + 1, 0, kFdRead});
    socket_.SocketWindowProc({SocketNotifyMessage, 0, 4 << 16});
    EXPECT_TRUE(LastDatagram(socket_).empty());
    socket_.SocketWindowProc({SocketNotifyMessage, 0, kFdRead});
    EXPECT_EQ(LastDatagram(socket_), Pattern(1, 1));
    socket_.SocketWindowProc({SocketNotifyMessage, 0, kFdRead});
    EXPECT_EQ(LastDatagram(socket_), Pattern(2, 2));
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
    const struct {
        std::int32_t level;
        std::vector<std::string> texts;
    } cases[] = {
        {1, {}}, {2, {sending}}, {8, {sending, lookingUp}}, {16, {sending, checking, lookingUp}},
        {0, {}}, {-1, {}}};
    UdpPeer peer;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        TNMUDP socket;
        socket.SetLocalPort(0);
        std::vector<std::string> texts;
        std::vector<std::pair<std::uint16_t, std::string>> socketErrors;
        socket.OnStatus = [&](TNMUDP&, const std::string& text) { texts.push_back(text); };
        socket.OnSocketError = [&](TNMUDP&, std::uint16_t number, const std::string& text) {
            socketErrors.emplace_back(number, text);
        };
        socket.ReportLevel = c.level;
        socket.RemoteHost = peer.Address();
        socket.RemotePort = peer.Port();
        socket.SendDatagram(Pattern(12, 0), 12);
        EXPECT_TRUE(peer.Receive());
        std::string raised;
        try {
            DescriptorsExhausted exhausted(socket.SocketHandle());
            socket.SetLocalPort(1234);
        } catch (const UDPSockError& error) {
            raised = error.Message();
        }
        EXPECT_EQ(raised, kTooManyFiles);
        EXPECT_EQ(texts, c.texts);
        EXPECT_EQ(socket.StatusText(), c.texts.empty() ? "" : c.texts.back());
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
    EXPECT_THROW(first->SendDatagram(Pattern(1, 1), 1), UDPSockError);
    first.reset();
    TNMUDP second;
    EXPECT_NO_THROW(second.SetLocalPort(port));
    // Only now: the sanitizers check each type the first time they meet it, with descriptors of
    // their own, and there are none while creation is made to fail.
    std::string raised;
    try {
        DescriptorsExhausted exhausted;
        TNMUDP socket;
    } catch (const UDPSockError& error) {
        raised = error.Message();
    }
    EXPECT_EQ(raised, kTooManyFiles);
}

TEST_F(NmudpReceiveTest, RewritingLocalPortRebindsEvenWithTheSameValue) {
    RecordEvents();
    UdpPeer peer;
    socket_.SetLocalPort(port_);
    ASSERT_EQ(socket_.BoundPort(), port_);
    peer.SendTo(Pattern(4, 4), "127.0.0.1", port_);  // queued on the socket about to be closed
    socket_.SetLocalPort(port_);
    peer.SendTo(Pattern(5, 5), "127.0.0.1", port_);
    ASSERT_TRUE(WaitForEvents(1));
    Pump(100ms);
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(events_[0].numberBytes, 5);

    // Also from inside the handler of the notification the old socket is delivering.
    socket_.OnDataReceived = [&](TNMUDP& sender, std::int32_t numberBytes, const std::string&,
                                 std::int32_t) {
        events_.push_back({numberBytes, "", 0, 0, {}});
        sender.SetLocalPort(port_);
    };
    peer.SendTo(Pattern(6, 6), "127.0.0.1", port_);
    peer.SendTo(Pattern(7, 7), "127.0.0.1", port_);  // lost with the old socket
    ASSERT_TRUE(WaitForEvents(2));
    peer.SendTo(Pattern(8, 8), "127.0.0.1", port_);
    ASSERT_TRUE(WaitForEvents(3));
    Pump(100ms);
    ASSERT_EQ(events_.size(), 3u);
    EXPECT_EQ(events_[1].numberBytes, 6);
    EXPECT_EQ(events_[2].numberBytes, 8);
}

TEST_F(NmudpReceiveTest, BindsTheLow16BitsOfLocalPort) {
    const std::uint16_t free = ProbePort(0).value();
    const std::int32_t values[] = {70000, free + 65536, free - 65536};
    UdpPeer peer;
    RecordEvents();
    for (std::int32_t value : values) {
        SCOPED_TRACE(value);
        const auto expected = static_cast<std::uint16_t>(value & 0xFFFF);
        if (!ProbePort(expected)) {
            continue;  // another program holds it; the other values still show the rule
        }
        socket_.SetLocalPort(value);
        EXPECT_EQ(socket_.LocalPort(), value);
        EXPECT_EQ(socket_.BoundPort(), expected);
        events_.clear();
        peer.SendTo(Pattern(3, 3), "127.0.0.1", expected);
        EXPECT_TRUE(WaitForEvents(1));
    }
}

TEST_F(NmudpReceiveTest, APortTakenByAnotherSocketRaisesAClearError) {
    TNMUDP other;
    for (std::int32_t value : {std::int32_t{port_}, port_ + 65536}) {
        std::string raised;
        try {
            other.SetLocalPort(value);
        } catch (const UDPSockError& error) {
            raised = error.Message();
        }
        EXPECT_EQ(raised, "Cannot bind UDP port " + std::to_string(port_) + ": " +
                              std::strerror(EADDRINUSE));
    }
    // The holder keeps listening, and a further loaded step neither fails nor doubles events.
    EXPECT_NO_THROW(socket_.Loaded());
    RecordEvents();
    UdpPeer peer;
    peer.SendTo(Pattern(2, 2), "127.0.0.1", port_);
    ASSERT_TRUE(WaitForEvents(1));
    Pump(100ms);
    EXPECT_EQ(events_.size(), 1u);
}

TEST_F(NmudpReceiveTest, AnErrorEscapingTheHandlerIsReportedAndListeningGoesOn) {
    int calls = 0;
    socket_.OnDataReceived = [&](TNMUDP& sender, std::int32_t numberBytes, const std::string&,
                                 std::int32_t) {
        ++calls;
        std::vector<std::uint8_t> buffer(2048);
        sender.ReadDatagram(buffer, numberBytes);
        throw UDPSockError("bad datagram " + std::to_string(buffer[0]));
    };
    UdpPeer peer;
    for (std::uint8_t i = 1; i <= 3; ++i) {
        peer.SendTo(std::vector<std::uint8_t>{i}, "127.0.0.1", port_);
    }
    ASSERT_TRUE(WaitFor([] { return Boxes().shown.size() >= 3; }));
    std::vector<std::string> texts;
    for (const RecordedBox& box : Boxes().shown) {
        texts.push_back(box.text);
    }
    EXPECT_EQ(texts,
              (std::vector<std::string>{"bad datagram 1.", "bad datagram 2.", "bad datagram 3."}));
    RecordEvents();
    peer.SendTo(std::vector<std::uint8_t>{4}, "127.0.0.1", port_);
    ASSERT_TRUE(WaitForEvents(1));
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(events_[0].numberBytes, 1);
}

}  // namespace
