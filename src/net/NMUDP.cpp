// Lifecycle and receive path of TNMUDP.

#include "net/NMUDP.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "shell/Gathering.h"
#include "shell/Guard.h"
#include "shell/ProcessSetup.h"
#include "shell/Timer.h"

namespace {

// A burst of datagrams is taken one notification at a time, several in a row before the event
// loop runs again: a repaint per datagram would cost more than the datagram itself. The loop
// still gets its turn this often, so ticks, clicks and paints come between; and at once when a
// tick is due, so that the voice keeps its pace.
constexpr auto kNotificationBurst = std::chrono::milliseconds(4);

// Room for a burst while the GUI thread is busy elsewhere (a paint, a tick, a nested send): at
// the system's default a few milliseconds of datagrams fill the queue and the rest are dropped.
// The system may grant less; the result is not examined.
constexpr int kReceiveBufferBytes = 4 << 20;

bool TickDue() {
    const auto next = shell::TimeToNextTick();
    return next && next->count() == 0;
}

int CreateDatagramSocket() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd != -1) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
    }
    return fd;
}

}  // namespace

TNMUDP::TNMUDP() {
    notifyWindow_ = std::make_unique<shell::NotifyWindow>(
        [this](const shell::WindowMessage& message) { SocketWindowProc(message); });
    resolver_ = std::make_unique<net::HostResolver>(notifyWindow_->Poster(), SocketNotifyMessage);
    ReportLevel = 1;
    LookupCancelled = false;
    // Never reported: the level was just set below it. Kept for the status-level contract.
    ReportStatus(8, "Initializing Winsock");
    CreateSocket();
    modalWatch_ = std::make_unique<shell::ModalLevelWatch>([this] { UpdateReceiveGate(); });
    ready_ = true;
}

TNMUDP::~TNMUDP() {
    ready_ = false;
    modalWatch_.reset();
    // The notification object goes first, so no message reaches the component from here on.
    notifyWindow_.reset();
    CloseSocket();
}

void TNMUDP::CreateSocket() {
    socketHandle_ = CreateDatagramSocket();
    if (socketHandle_ == -1) {
        CheckSocketError(EWOULDBLOCK);
        return;
    }
    socketHandle_ = shell::MoveAboveZero(socketHandle_);
}

void TNMUDP::CloseSocket() {
    // The notifier must not outlive its descriptor's meaning.
    readNotifier_.reset();
    if (socketHandle_ > 0) {
        ::close(socketHandle_);
    }
    bound_ = false;
}

void TNMUDP::SetLocalPort(std::int32_t value) {
    CloseSocket();
    socketHandle_ = CreateDatagramSocket();
    if (socketHandle_ == -1) {
        CheckSocketError(EWOULDBLOCK);
    } else {
        socketHandle_ = shell::MoveAboveZero(socketHandle_);
    }
    localPort_ = value;
    StartListening();
}

void TNMUDP::Loaded() {
    StartListening();
}

void TNMUDP::StartListening() {
    const auto port = static_cast<std::uint16_t>(static_cast<std::uint32_t>(localPort_) & 0xFFFF);
    localAddress_ = {};
    localAddress_.sin_family = AF_INET;
    localAddress_.sin_port = htons(port);
    localAddress_.sin_addr.s_addr = htonl(INADDR_ANY);
    lookupDone_ = false;
    // Binding a socket that is already bound would fail; the loaded step repeats the bind of the
    // LocalPort write, which must stay silent.
    if (!bound_) {
        if (::bind(socketHandle_, reinterpret_cast<const sockaddr*>(&localAddress_),
                   sizeof localAddress_) != 0) {
            int error = errno;
            throw UDPSockError("Cannot bind UDP port " + std::to_string(port) + ": " +
                               std::strerror(error));
        }
        bound_ = true;
    }
    if (!readNotifier_ && socketHandle_ > 0) {
        readNotifier_ = std::make_unique<QSocketNotifier>(socketHandle_, QSocketNotifier::Read);
        // Handed over at once: a notification is never outstanding twice.
        QObject::connect(readNotifier_.get(), &QSocketNotifier::activated,
                         [this] { HandOverReadiness(); });
    }
    UpdateReceiveGate();
}

void TNMUDP::HandOverReadiness() {
    const std::weak_ptr<const char> alive = lifetime_;
    const QSocketNotifier* notifier = readNotifier_.get();
    const auto until = std::chrono::steady_clock::now() + kNotificationBurst;
    // The handlers' output of the whole burst is put in place once, before the loop's next turn.
    const shell::GatherScope gathering;
    do {
        tookDatagram_ = false;
        notifyWindow_->Send(
            {SocketNotifyMessage, static_cast<std::uintptr_t>(socketHandle_), kFdRead});
        // A handler may have destroyed the component, replaced its socket or closed the gate;
        // then the notifier's own next activation decides.
        if (alive.expired()) {
            return;
        }
    } while (tookDatagram_ && readNotifier_.get() == notifier && readNotifier_->isEnabled() &&
             std::chrono::steady_clock::now() < until && !TickDue());
}

std::uint16_t TNMUDP::BoundPort() const {
    if (!bound_) {
        return 0;
    }
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(socketHandle_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

void TNMUDP::SocketWindowProc(const shell::WindowMessage& message) {
    if (!ready_ || message.number != SocketNotifyMessage) {
        return;
    }
    if ((static_cast<std::uintptr_t>(message.lParam) & 0xFFFF) == kFdRead) {
        shell::Guarded([this] { ReceivePending(); });
        return;
    }
    LookupCompleted(message);
}

void TNMUDP::ReceivePending() {
    if (!ReceiveGateOpen()) {
        // The datagram stays queued on the socket until the nested sends have unwound.
        UpdateReceiveGate();
        return;
    }
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    // MSG_TRUNC gives the true length, so a datagram too long for the buffer is seen as such.
    ssize_t received = ::recvfrom(socketHandle_, receiveBuffer_.data(), receiveBuffer_.size(),
                                  MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return;  // a wake-up with nothing queued raises no event
    }
    tookDatagram_ = true;
    if (received < 0 || received > static_cast<ssize_t>(receiveBuffer_.size())) {
        receivedCount_ = -1;
        from = {};
    } else {
        receivedCount_ = static_cast<std::int32_t>(received);
    }
    if (OnDataReceived) {
        char fromIP[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, fromIP, sizeof fromIP);
        OnDataReceived(*this, receivedCount_, fromIP, ntohs(from.sin_port));
    }
}

void TNMUDP::ReadDatagram(std::span<std::uint8_t> Buff, std::int32_t& count) const {
    if (receivedCount_ > 0) {
        // Never past the caller's buffer, whatever it was told to expect.
        auto n = std::min(static_cast<std::size_t>(receivedCount_), Buff.size());
        std::memcpy(Buff.data(), receiveBuffer_.data(), n);
    }
    count = receivedCount_;
}

void TNMUDP::ReportStatus(std::uint8_t level, const std::string& text) {
    if (static_cast<std::int32_t>(level) > ReportLevel) {
        return;
    }
    statusText_ = text;
    if (OnStatus) {
        OnStatus(*this, statusText_);
    }
}

void TNMUDP::CheckSocketError(std::uint16_t harmlessErrorNumber) {
    int number = errno;
    ReportStatus(16, "Checking Error In Error Manager");
    lastErrorNumber_ = number;
    if (number == harmlessErrorNumber) {
        return;
    }
    std::string text = ErrorText(static_cast<std::uint16_t>(number));
    if (OnSocketError) {
        OnSocketError(*this, static_cast<std::uint16_t>(number), text);
    }
    throw UDPSockError(text);
}

std::string TNMUDP::ErrorText(std::uint16_t number) {
    std::string text = number != 0 ? "Unknown Error No. " + std::to_string(number) : "";
    ReportStatus(8, "Looking Up Error Message" + text);
    return text;
}

void TNMUDP::UpdateReceiveGate() {
    if (!readNotifier_) {
        return;
    }
    const bool open = ReceiveGateOpen();
    if (readNotifier_->isEnabled() != open) {
        readNotifier_->setEnabled(open);
    }
}
