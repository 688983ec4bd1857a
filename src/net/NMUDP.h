#pragma once
// TNMUDP: one IPv4 UDP socket for the GUI thread. It binds LocalPort, turns every datagram that
// arrives into one OnDataReceived event (the datagram is then copied out with ReadDatagram),
// sends buffers to RemoteHost:RemotePort, resolving a host name anew for every send, and raises
// UDPSockError for socket failures.

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <span>
#include <string>

#include "net/HostResolver.h"
#include "net/UDPSockError.h"
#include "shell/MessageLoop.h"
#include "shell/NotifyWindow.h"

class QSocketNotifier;

// The private message by which read readiness and lookup completions reach the component.
inline constexpr std::uint32_t SocketNotifyMessage = 1125;
// Read readiness, in the low 16 bits of the long parameter.
inline constexpr std::uint16_t kFdRead = 1;

class TNMUDP {
  public:
    using TOnReceive = std::function<void(TNMUDP& Sender, std::int32_t NumberBytes,
                                          const std::string& FromIP, std::int32_t Port)>;
    using TOnStatus = std::function<void(TNMUDP& Sender, const std::string& status)>;
    using TNotifyEvent = std::function<void(TNMUDP& Sender)>;
    using THandlerEvent = std::function<void(bool& handled)>;
    using TBuffInvalid =
        std::function<void(bool& handled, std::span<std::uint8_t> Buff, std::int32_t& length)>;
    using TStreamInvalid = std::function<void(bool& handled, std::iostream& Stream)>;
    using TOnSocketError =
        std::function<void(TNMUDP& Sender, std::uint16_t number, const std::string& text)>;

    // Creates the socket, not yet bound. Raises UDPSockError when it cannot be created.
    TNMUDP();
    ~TNMUDP();
    TNMUDP(const TNMUDP&) = delete;
    TNMUDP& operator=(const TNMUDP&) = delete;

    // Plain properties: reading and writing them has no side effect.
    std::string RemoteHost;
    std::int32_t RemotePort = 0;
    std::int32_t ReportLevel = 1;
    // Abandons the lookup that a send is waiting for; cleared at the start of every send.
    bool LookupCancelled = false;

    std::int32_t LocalPort() const { return localPort_; }
    // Closes the socket, creates a new one and binds it to the low 16 bits of `value`, even
    // when the value is unchanged. Raises UDPSockError when the port cannot be bound.
    void SetLocalPort(std::int32_t value);

    TOnReceive OnDataReceived;
    TNotifyEvent OnDataSend;
    TOnStatus OnStatus;
    THandlerEvent OnInvalidHost;
    TStreamInvalid OnStreamInvalid;  // published for completeness; nothing raises it
    TBuffInvalid OnBufferInvalid;
    TOnSocketError OnSocketError;

    // The loading-complete hook: binds (unless already bound) and listens.
    void Loaded();

    // Sends the first `count` bytes of a copy of `Buff` to RemoteHost:RemotePort.
    void SendDatagram(std::span<const std::uint8_t> Buff, std::int32_t count);

    // Copies the datagram that raised OnDataReceived into `Buff` (nothing after a failed or
    // empty receive) and gives its count. A second call gives the same datagram again.
    void ReadDatagram(std::span<std::uint8_t> Buff, std::int32_t& count) const;

    // The hidden window's message handler.
    void SocketWindowProc(const shell::WindowMessage& message);

    const std::string& StatusText() const { return statusText_; }
    std::int32_t LastErrorNumber() const { return lastErrorNumber_; }
    bool LookupDone() const { return lookupDone_; }
    bool LookupSucceeded() const { return lookupSucceeded_; }
    int SocketHandle() const { return socketHandle_; }
    // The port the socket is bound to, 0 while it is not bound.
    std::uint16_t BoundPort() const;
    // Sends started and not yet returned.
    int SendsInProgress() const { return sendsInProgress_; }

  private:
    struct PendingLookup {
        bool done = false;
        bool succeeded = false;
        in_addr_t address = 0;
        // The modal level its wait runs at: a box opened inside the wait begins a deeper one.
        int modalLevel = 0;
    };
    class SendScope;

    void CreateSocket();
    void CloseSocket();
    void StartListening();
    // Hands read readiness over as notifications, one datagram each, for as long as datagrams
    // wait and the burst lasts.
    void HandOverReadiness();
    void ReceivePending();
    void ReportStatus(std::uint8_t level, const std::string& text);
    void CheckSocketError(std::uint16_t harmlessErrorNumber);
    std::string ErrorText(std::uint16_t number);
    void ResolveRemoteHost();
    PendingLookup LookUp(const std::string& hostName);
    void LookupCompleted(const shell::WindowMessage& message);
    // Closed while a send at the current modal level has its answer and is unwinding, so that
    // nothing is taken on behalf of a wait that has ended, and while too many sends are nested.
    bool ReceiveGateOpen() const;
    void UpdateReceiveGate();

    std::array<std::uint8_t, 2048> receiveBuffer_{};
    std::int32_t receivedCount_ = 0;
    std::int32_t localPort_ = 0;
    sockaddr_in remoteAddress_{};
    sockaddr_in localAddress_{};
    std::unique_ptr<shell::NotifyWindow> notifyWindow_;
    std::unique_ptr<net::HostResolver> resolver_;
    std::map<std::uint32_t, PendingLookup> pendingLookups_;
    bool lookupDone_ = false;
    bool lookupSucceeded_ = false;
    std::string statusText_;
    bool ready_ = false;
    std::int32_t lastErrorNumber_ = 0;
    int socketHandle_ = 0;
    bool bound_ = false;
    std::unique_ptr<QSocketNotifier> readNotifier_;
    int sendsInProgress_ = 0;
    bool tookDatagram_ = false;
    // Expires with the component: a burst can tell that a handler destroyed it.
    std::shared_ptr<const char> lifetime_ = std::make_shared<const char>();
    // A box opening or closing changes which waits hold the gate.
    std::unique_ptr<shell::ModalLevelWatch> modalWatch_;
};
