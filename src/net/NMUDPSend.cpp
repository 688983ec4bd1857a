// Sending and remote-host resolution of TNMUDP.

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <vector>

#include "net/NMUDP.h"
#include "shell/MessageLoop.h"

namespace {

// Beyond this many sends in progress, received datagrams wait on the socket: with a host name to
// resolve, every reply nests one more wait, and a fast peer would otherwise overflow the stack.
constexpr int kMaxSendsInProgress = 4;

}  // namespace

class TNMUDP::SendScope {
  public:
    explicit SendScope(TNMUDP& socket) : socket_(socket) {
        ++socket_.sendsInProgress_;
        socket_.UpdateReceiveGate();
    }
    ~SendScope() {
        --socket_.sendsInProgress_;
        socket_.UpdateReceiveGate();
    }
    SendScope(const SendScope&) = delete;
    SendScope& operator=(const SendScope&) = delete;

  private:
    TNMUDP& socket_;
};

void TNMUDP::SendDatagram(std::span<const std::uint8_t> Buff, std::int32_t count) {
    SendScope scope(*this);
    std::vector<std::uint8_t> buffer(Buff.begin(), Buff.end());
    int handlerCalls = 0;
    while (count == 0) {
        if (handlerCalls > 0 || !OnBufferInvalid) {
            throw Exception("Invalid buffer");
        }
        bool handled = false;
        OnBufferInvalid(handled, std::span<std::uint8_t>(buffer), count);
        if (!handled) {
            throw Exception("Invalid buffer");
        }
        ++handlerCalls;
    }
    LookupCancelled = false;
    ResolveRemoteHost();
    if (remoteAddress_.sin_addr.s_addr == 0) {
        throw UDPSockError("Null Remote Address");
    }
    const in_addr_t destination = remoteAddress_.sin_addr.s_addr;
    ReportStatus(2, "Sending Data");
    // A status handler may dispatch, and a send nested there would leave its own destination.
    remoteAddress_.sin_addr.s_addr = destination;
    remoteAddress_.sin_family = AF_INET;
    remoteAddress_.sin_port =
        htons(static_cast<std::uint16_t>(static_cast<std::uint32_t>(RemotePort) & 0xFFFF));
    // A negative count is refused before the system sees it; a count beyond the copy sends only
    // what the copy holds. Either way the outcome of the send itself is not examined.
    if (count > 0) {
        auto length = std::min(static_cast<std::size_t>(count), buffer.size());
        ::sendto(socketHandle_, buffer.data(), length, MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr*>(&remoteAddress_), sizeof remoteAddress_);
    }
    if (OnDataSend) {
        OnDataSend(*this);
    }
}

void TNMUDP::ResolveRemoteHost() {
    // The whole text, however long; a NUL inside would cut it short for the system.
    const std::string hostName = RemoteHost;
    in_addr_t address =
        hostName.find('\0') == std::string::npos ? ::inet_addr(hostName.c_str()) : INADDR_NONE;
    remoteAddress_.sin_addr.s_addr = address;
    if (address != INADDR_NONE) {
        return;
    }
    int failedLookups = 0;
    for (;;) {
        PendingLookup outcome = LookUp(hostName);
        if (LookupCancelled) {
            throw UDPSockError("Host Lookup Canceled");
        }
        if (outcome.succeeded) {
            remoteAddress_.sin_addr.s_addr = outcome.address;
            return;
        }
        if (failedLookups >= 1) {
            throw UDPSockError("Host Lookup Canceled");
        }
        failedLookups = 1;
        bool handled = false;
        if (OnInvalidHost) {
            OnInvalidHost(handled);
        }
        if (!handled) {
            throw UDPSockError("Host Lookup Canceled");
        }
    }
}

TNMUDP::PendingLookup TNMUDP::LookUp(const std::string& hostName) {
    lookupDone_ = false;
    const std::uint32_t id = resolver_->Start(hostName);
    PendingLookup& pending = pendingLookups_[id];
    pending.modalLevel = shell::ModalLevel();
    struct Forget {
        TNMUDP& socket;
        std::uint32_t id;
        ~Forget() {
            socket.pendingLookups_.erase(id);
            socket.UpdateReceiveGate();
        }
    } forget{*this, id};
    shell::WaitUntil([&] { return pending.done || LookupCancelled; });
    return pending;
}

void TNMUDP::LookupCompleted(const shell::WindowMessage& message) {
    const auto parameter = static_cast<std::uintptr_t>(message.lParam);
    lookupDone_ = true;
    lookupSucceeded_ = ((parameter >> 16) & 0xFFFF) == 0;
    const auto id = static_cast<std::uint32_t>(message.wParam);
    std::optional<net::LookupOutcome> outcome = resolver_->Take(id);
    auto pending = pendingLookups_.find(id);
    if (pending == pendingLookups_.end()) {
        return;
    }
    pending->second.done = true;
    pending->second.succeeded = lookupSucceeded_ && outcome && outcome->error == 0;
    pending->second.address = outcome ? outcome->address : 0;
    UpdateReceiveGate();
}

bool TNMUDP::ReceiveGateOpen() const {
    if (sendsInProgress_ >= kMaxSendsInProgress) {
        return false;
    }
    // A wait behind an open box cannot end before the box closes: the box's own loop handles
    // datagrams as the main loop would.
    const int level = shell::ModalLevel();
    return std::none_of(pendingLookups_.begin(), pendingLookups_.end(), [level](const auto& entry) {
        return entry.second.done && entry.second.modalLevel == level;
    });
}
