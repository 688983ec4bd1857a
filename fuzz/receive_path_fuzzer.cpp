// The whole receive path of the real main window: one datagram of any length and content, sent
// over loopback to the window's socket and handled by its data-received event, in any call mode,
// with and without the voice files open. Checked against the protocol, not just for crashes: only
// an exact 12-byte request starting with "z" and with status 0 is answered, always to the peer in
// eIP and with the status its rules give; only voice is counted and stored; anything else leaves
// no trace.
//
// Input: byte 0 chooses the call mode (low bits) and whether the voice files are open (bit 7),
// byte 1 the text of eIP, byte 2 the sender's address; the rest is the datagram.
//
// eIP is only ever 127.0.0.1 to 127.0.0.9 or a name ending in ".invalid", and the timer is off, so
// nothing the window sends can leave loopback. The fuzzer refuses to run outside a private
// network namespace.

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Controls.h"
#include "app/MainForm.h"
#include "net/NMUDP.h"
#include "shell/ApplicationTitle.h"
#include "shell/Gathering.h"
#include "shell/ProcessSetup.h"
#include "shell/Report.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kPeers = 9;  // 127.0.0.1 .. 127.0.0.9
constexpr const char* kInvalidNames[] = {"peer.invalid", "nowhere.phone.invalid"};
constexpr int kCallModes[] = {ModeIdle, ModeCalling, ModeTalking};
constexpr std::size_t kReceiveBuffer = 2048;
constexpr std::size_t kPayloadOffset = 14;
// Fresh windows (and a truncated incoming file) after this many inputs or this much voice.
constexpr int kInputsPerWindow = 2000;
constexpr off_t kMostIncomingBytes = 1 << 20;
constexpr auto kHandlingBound = std::chrono::seconds(5);

[[noreturn]] void Fail(const char* format, ...) {
    std::fprintf(stderr, "receive_path_fuzzer: ");
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fprintf(stderr, "\n");
    std::abort();
}

std::string PeerAddress(int index) {
    return "127.0.0." + std::to_string(index + 1);
}

// Boxes are counted, never shown.
class CountingBoxes final : public shell::ReportBoxes {
  public:
    void ShowErrorBox(const std::string&, const std::string&) override { ++errorBoxes; }
    void ShowFatalBox(const std::string&, const std::string& text) override {
        Fail("fatal report while receiving: %s", text.c_str());
    }
    int errorBoxes = 0;
};

// A plain socket on a loopback address: sends the fuzzed datagrams and sees the replies.
class Peer {
  public:
    Peer(const std::string& address, std::uint16_t port) : address_(address) {
        sockaddr_in local = Loopback(address, port);
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            return;
        }
        socklen_t length = sizeof local;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        port_ = ntohs(local.sin_port);
    }
    ~Peer() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool Bound() const { return port_ != 0; }
    std::uint16_t Port() const { return port_; }
    const std::string& Address() const { return address_; }

    void SendTo(const std::uint8_t* data, std::size_t size, std::uint16_t port) const {
        sockaddr_in to = Loopback("127.0.0.1", port);
        if (::sendto(fd_, data, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
            Fail("sending %zu bytes from %s failed: %s", size, address_.c_str(),
                 std::strerror(errno));
        }
    }

    struct Received {
        Bytes bytes;
        std::uint16_t fromPort = 0;
    };

    std::optional<Received> Receive(int waitMilliseconds) const {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, waitMilliseconds) <= 0) {
            return std::nullopt;
        }
        static std::array<std::uint8_t, 65536> buffer;
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t count = ::recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                   reinterpret_cast<sockaddr*>(&from), &length);
        if (count < 0) {
            return std::nullopt;
        }
        return Received{Bytes(buffer.begin(), buffer.begin() + count), ntohs(from.sin_port)};
    }

  private:
    static sockaddr_in Loopback(const std::string& address, std::uint16_t port) {
        sockaddr_in result{};
        result.sin_family = AF_INET;
        result.sin_port = htons(port);
        if (::inet_pton(AF_INET, address.c_str(), &result.sin_addr) != 1 ||
            (ntohl(result.sin_addr.s_addr) >> 24) != 127) {
            Fail("refusing the non-loopback address %s", address.c_str());
        }
        return result;
    }

    std::string address_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// Nothing may leave this machine: only loopback may exist where the fuzzer runs.
void RequirePrivateNetwork() {
    struct if_nameindex* interfaces = ::if_nameindex();
    if (interfaces == nullptr) {
        Fail("cannot list network interfaces: %s", std::strerror(errno));
    }
    for (const struct if_nameindex* i = interfaces; i->if_index != 0; ++i) {
        if (std::strcmp(i->if_name, "lo") != 0) {
            Fail(
                "network interface %s exists: run only inside a private network namespace "
                "(scripts/run-fuzzers.sh or scripts/test-namespace.sh)",
                i->if_name);
        }
    }
    ::if_freenameindex(interfaces);
}

struct Harness {
    CountingBoxes boxes;
    std::vector<std::unique_ptr<Peer>> peers;
    std::uint16_t remotePort = 0;
    std::string incomingPath;
    int incomingReader = -1;
    std::unique_ptr<TForm1> withFiles;
    std::unique_ptr<TForm1> withoutFiles;
    int inputsSinceBuild = 0;
    QTimer heartbeat;  // bounds every wait for events
};

Harness* harness = nullptr;

void ReplaceFile(const std::string& path, const Bytes& content) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 ||
        ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
        Fail("cannot write %s: %s", path.c_str(), std::strerror(errno));
    }
    ::close(fd);
}

off_t FileSize(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        Fail("cannot examine the incoming file: %s", std::strerror(errno));
    }
    return status.st_size;
}

void BindPeers(Harness& h) {
    // One port for all nine addresses: the window's RemotePort, where replies arrive.
    for (int attempt = 0; attempt < 50 && h.peers.empty(); ++attempt) {
        auto first = std::make_unique<Peer>(PeerAddress(0), 0);
        if (!first->Bound()) {
            Fail("cannot bind a peer on 127.0.0.1: %s", std::strerror(errno));
        }
        std::vector<std::unique_ptr<Peer>> peers;
        const std::uint16_t port = first->Port();
        peers.push_back(std::move(first));
        for (int i = 1; i < kPeers; ++i) {
            auto peer = std::make_unique<Peer>(PeerAddress(i), port);
            if (!peer->Bound()) {
                break;
            }
            peers.push_back(std::move(peer));
        }
        if (peers.size() == kPeers) {
            h.peers = std::move(peers);
            h.remotePort = port;
        }
    }
    if (h.peers.empty()) {
        Fail("cannot bind peers on 127.0.0.1 to 127.0.0.9 at one port");
    }
}

std::unique_ptr<TForm1> BuildWindow(const Harness& h, bool openFiles) {
    FormDescription description = StoredForm1();
    description.Component("eIP").Set("Text", std::string("127.0.0.1"));
    description.Component("UDPSock").Set("LocalPort", std::int64_t{0});
    description.Component("UDPSock").Set("RemotePort", std::int64_t{h.remotePort});
    // Only the receive path runs: no voice of the window's own, no tick that sends.
    description.Component("Timer1").Set("Enabled", false);
    auto window = std::make_unique<TForm1>(description);
    if (window->UDPSock->BoundPort() == 0) {
        Fail("the window's socket is not bound");
    }
    if (openFiles) {
        window->bOpen->click();
        if (window->SendFile <= 0 || window->RecvFile <= 0) {
            Fail(
                "the voice files next to the fuzzer could not be opened (is another fuzzer "
                "process running from the same directory?)");
        }
    }
    return window;
}

void CloseVoiceFiles(TForm1* window) {
    // The program never closes them itself; a fresh window must be able to lock recv.au again.
    if (window != nullptr) {
        for (int handle : {window->SendFile, window->RecvFile}) {
            if (handle > 0) {
                ::close(handle);
            }
        }
    }
}

void RebuildWindows(Harness& h) {
    CloseVoiceFiles(h.withFiles.get());
    h.withFiles.reset();
    h.withoutFiles.reset();
    if (::truncate(h.incomingPath.c_str(), 0) != 0) {
        Fail("cannot truncate %s: %s", h.incomingPath.c_str(), std::strerror(errno));
    }
    h.withFiles = BuildWindow(h, true);
    h.withoutFiles = BuildWindow(h, false);
    h.inputsSinceBuild = 0;
}

// What the protocol makes of a datagram, worked out here independently of the program.
enum class Kind { Dropped, Voice, Request };

struct Expectation {
    Kind kind = Kind::Dropped;
    Bytes buffer = Bytes(kReceiveBuffer, 0);  // the datagram, zero beyond its end
    std::int16_t Word(std::size_t offset) const {
        return static_cast<std::int16_t>(buffer[offset] | buffer[offset + 1] << 8);
    }
};

Expectation Classify(const std::uint8_t* data, std::size_t size) {
    Expectation e;
    if (size == 0 || size > kReceiveBuffer) {
        return e;  // an empty datagram, or one too long to be delivered whole
    }
    std::memcpy(e.buffer.data(), data, size);
    if (e.buffer[0] != 'z' || e.Word(10) != 0) {
        return e;
    }
    if (e.Word(8) == 10 && size > 12) {
        e.kind = Kind::Voice;
    } else if (size == 12) {
        e.kind = Kind::Request;
    }
    return e;
}

std::string Hex2(std::int32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%02X", static_cast<std::uint32_t>(value));
    return text;
}

long Count(const QLabel* label) {
    const std::string caption = controls::Caption(label);
    char* end = nullptr;
    long value = std::strtol(caption.c_str(), &end, 10);
    if (caption.empty() || *end != '\0') {
        Fail("counter caption \"%s\" is not a decimal number", caption.c_str());
    }
    return value;
}

struct WindowState {
    std::int32_t callMode = 0;
    bool hook = false;
    std::string eIP;
    std::string eTarget;
    long received = 0;
    int memoLines = 0;
    int memoCharacters = 0;
    std::string memoTop;
    off_t incomingSize = 0;

    static WindowState Of(const TForm1& w, int incomingReader) {
        const QTextDocument* memo = w.Memo1->document();
        return {w.CallMode,
                w.hook->isChecked(),
                controls::Text(w.eIP),
                controls::Text(w.eTarget),
                Count(w.LRecv),
                memo->blockCount(),
                memo->characterCount(),
                memo->firstBlock().text().toStdString(),
                FileSize(incomingReader)};
    }
};

std::string MemoLine(const TForm1& w, int index) {
    return w.Memo1->document()->findBlockByNumber(index).text().toStdString();
}

void ExpectNoDatagrams(const Harness& h, const char* when) {
    for (const auto& peer : h.peers) {
        if (auto stray = peer->Receive(0)) {
            Fail("%s: unexpected %zu-byte datagram at %s from port %u", when, stray->bytes.size(),
                 peer->Address().c_str(), stray->fromPort);
        }
    }
}

// Runs the window until it has handled the datagram: the marker behind it has been counted, no
// send (a reply waiting for a host lookup) is still in progress, and the lines it logged are in
// place.
void HandleUntilCounted(const TForm1& w, long receivedTarget) {
    const auto deadline = Clock::now() + kHandlingBound;
    while (Count(w.LRecv) < receivedTarget || w.UDPSock->SendsInProgress() != 0 ||
           shell::SettleInProgress()) {
        if (Clock::now() > deadline) {
            Fail("the window did not handle the datagram within %lld s (LRecv %ld, expected %ld)",
                 static_cast<long long>(kHandlingBound.count()), Count(w.LRecv), receivedTarget);
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    if (Count(w.LRecv) != receivedTarget) {
        Fail("LRecv is %ld, expected %ld", Count(w.LRecv), receivedTarget);
    }
    // The count is reached only by the marker, unless something else was counted as voice.
    std::uint8_t byte = 0;
    if (::recv(w.UDPSock->SocketHandle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) >= 0) {
        Fail(
            "LRecv reached %ld before the window took the marker: a datagram that is not voice "
            "was counted",
            receivedTarget);
    }
}

void CheckVoice(const Harness& h, const Expectation& e, const WindowState& before,
                const WindowState& after, bool filesOpen) {
    const off_t written = after.incomingSize - before.incomingSize;
    if (!filesOpen) {
        if (written != 0) {
            Fail("voice written without an open incoming file");
        }
        return;
    }
    const std::int16_t length = e.Word(12);
    const off_t room = kReceiveBuffer - kPayloadOffset;
    if (length >= 1 && length <= room ? written != length : written < 0 || written > room) {
        Fail("voice with Length %d wrote %lld bytes", length, static_cast<long long>(written));
    }
    Bytes stored(static_cast<std::size_t>(written));
    if (written > 0 &&
        ::pread(h.incomingReader, stored.data(), stored.size(), before.incomingSize) != written) {
        Fail("cannot read back the incoming file");
    }
    if (!std::equal(stored.begin(), stored.end(), e.buffer.begin() + kPayloadOffset)) {
        Fail("voice with Length %d stored other bytes than its payload", length);
    }
}

void CheckRequest(const Harness& h, const TForm1& w, const Expectation& e,
                  const WindowState& before, const WindowState& after, const std::string& fromIP) {
    const std::int16_t target = e.Word(6);
    const std::int16_t command = e.Word(8);
    const bool fromPeerInEIP = fromIP == before.eIP;
    bool accepted = false;
    WindowState expected = before;
    if (command == 5 && before.callMode == ModeIdle) {
        accepted = true;
        expected.hook = true;
        expected.eIP = fromIP;
        expected.eTarget = std::to_string(target);
    } else if (command == 7 && fromPeerInEIP) {
        accepted = true;
        expected.hook = true;
        expected.callMode = ModeTalking;
    } else if ((command == 8 || command == 9) && fromPeerInEIP) {
        accepted = true;
        expected.hook = false;
        expected.callMode = ModeIdle;
    }
    if (after.callMode != expected.callMode || after.hook != expected.hook ||
        after.eIP != expected.eIP || after.eTarget != expected.eTarget) {
        Fail(
            "request with command %d from %s in mode %d: mode %d hook %d eIP \"%s\" eTarget "
            "\"%s\", expected mode %d hook %d eIP \"%s\" eTarget \"%s\"",
            command, fromIP.c_str(), before.callMode, after.callMode, after.hook, after.eIP.c_str(),
            after.eTarget.c_str(), expected.callMode, expected.hook, expected.eIP.c_str(),
            expected.eTarget.c_str());
    }

    Bytes reply(e.buffer.begin(), e.buffer.begin() + 12);
    reply[10] = accepted ? 1 : 2;
    reply[11] = 0;
    const bool dialLine = command == 5 && accepted;
    int replyPeer = -1;
    for (int i = 0; i < kPeers; ++i) {
        if (after.eIP == PeerAddress(i)) {
            replyPeer = i;
        }
    }
    if (replyPeer < 0) {
        // A name that does not resolve: the reply cannot be sent and nothing is logged after the
        // "Dial: " line (which an accepted Ring would have made with a loopback eIP anyway).
        ExpectNoDatagrams(h, "reply to an unresolvable eIP");
        if (after.memoLines != before.memoLines) {
            Fail("log changed although the reply could not be sent");
        }
        return;
    }
    auto got = h.peers[static_cast<std::size_t>(replyPeer)]->Receive(2000);
    if (!got) {
        Fail("no reply to a %d request reached %s", command, after.eIP.c_str());
    }
    if (got->bytes != reply || got->fromPort != w.UDPSock->BoundPort()) {
        Fail("wrong reply to a %d request: %zu bytes from port %u", command, got->bytes.size(),
             got->fromPort);
    }
    ExpectNoDatagrams(h, "after the one reply");

    std::string read = "Read: 12";
    for (std::uint8_t byte : reply) {
        read += " " + Hex2(byte);
    }
    const std::vector<std::string> lines = {
        read, "Send: " + Hex2(target) + " " + Hex2(command),
        dialLine ? "Dial: " + std::to_string(target) : before.memoTop};
    const int added = dialLine ? 3 : 2;
    // Near its limit the log drops its oldest lines to make room, so only the top is certain.
    const bool roomy = before.memoCharacters - 1 + 3 * 64 <= controls::kMemoMaxCharacters;
    if (roomy && after.memoLines != before.memoLines + added) {
        Fail("request with command %d added %d log lines, expected %d", command,
             after.memoLines - before.memoLines, added);
    }
    for (int i = 0; i < 3; ++i) {
        if (MemoLine(w, i) != lines[static_cast<std::size_t>(i)]) {
            Fail("log line %d reads \"%s\", expected \"%s\"", i, MemoLine(w, i).c_str(),
                 lines[static_cast<std::size_t>(i)].c_str());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    RequirePrivateNetwork();
    shell::OpenStandardDescriptors();
    shell::IgnoreWriteSignals();
    // The platform as an argument, so nothing the window starts inherits it.
    static char platformOption[] = "-platform";
    static char platformName[] = "offscreen";
    static char* arguments[] = {(*argc > 0 ? (*argv)[0] : platformOption), platformOption,
                                platformName, nullptr};
    static int argumentCount = 3;
    new QApplication(argumentCount, arguments);

    harness = new Harness;
    shell::InstallReportBoxes(harness->boxes);
    harness->heartbeat.start(50);
    BindPeers(*harness);

    // The window opens its voice files next to the executable, as the program does.
    const std::string directory = shell::ExecutableDirectory();
    if (directory.empty()) {
        Fail("the fuzzer's own directory is unknown");
    }
    ReplaceFile(directory + "/send.au", Bytes(800, 0x7F));
    harness->incomingPath = directory + "/recv.au";
    ReplaceFile(harness->incomingPath, {});
    harness->incomingReader = ::open(harness->incomingPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (harness->incomingReader < 0) {
        Fail("cannot open %s: %s", harness->incomingPath.c_str(), std::strerror(errno));
    }
    RebuildWindows(*harness);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Harness& h = *harness;
    std::array<std::uint8_t, 3> choice{};
    const std::size_t header = std::min(size, choice.size());
    std::memcpy(choice.data(), data, header);
    data += header;
    size -= header;

    if (h.inputsSinceBuild >= kInputsPerWindow || FileSize(h.incomingReader) > kMostIncomingBytes) {
        RebuildWindows(h);
    }
    ++h.inputsSinceBuild;

    const bool filesOpen = (choice[0] & 0x80) != 0;
    TForm1& w = filesOpen ? *h.withFiles : *h.withoutFiles;
    w.CallMode = kCallModes[(choice[0] & 0x7F) % 3];
    constexpr int kInvalidCount = sizeof kInvalidNames / sizeof *kInvalidNames;
    const int address = choice[1] % (kPeers + kInvalidCount);
    controls::SetText(w.eIP,
                      address < kPeers ? PeerAddress(address) : kInvalidNames[address - kPeers]);
    const Peer& sender = *h.peers[choice[2] % kPeers];

    ExpectNoDatagrams(h, "before the input");
    const Expectation e = Classify(data, size);
    const WindowState before = WindowState::Of(w, h.incomingReader);
    const int boxesBefore = h.boxes.errorBoxes;

    // The marker, a voice datagram without payload, queues behind the fuzzed one: once it has been
    // counted, the window has handled the fuzzed datagram.
    static const std::uint8_t marker[13] = {'z', 'e', 'l', 'k', 0, 0, 0, 0, 10, 0, 0, 0, 0};
    const std::uint16_t port = w.UDPSock->BoundPort();
    sender.SendTo(data, size, port);
    sender.SendTo(marker, sizeof marker, port);
    HandleUntilCounted(w, before.received + (e.kind == Kind::Voice ? 1 : 0) + 1);

    const WindowState after = WindowState::Of(w, h.incomingReader);
    if (after.memoCharacters - 1 > controls::kMemoMaxCharacters) {
        Fail("the log holds %d characters", after.memoCharacters - 1);
    }
    // Only a reply that cannot be sent may report an error, and then at most once.
    const bool replyUnresolvable = e.kind == Kind::Request && after.eIP.ends_with(".invalid");
    if (h.boxes.errorBoxes - boxesBefore > (replyUnresolvable ? 1 : 0)) {
        Fail("%d error reports for one datagram", h.boxes.errorBoxes - boxesBefore);
    }
    if (e.kind == Kind::Request) {
        CheckRequest(h, w, e, before, after, sender.Address());
        return 0;
    }
    // Voice or nothing: no reply, no log line, no change of the call state.
    ExpectNoDatagrams(h, "after a datagram that is not a request");
    if (after.callMode != before.callMode || after.hook != before.hook || after.eIP != before.eIP ||
        after.eTarget != before.eTarget || after.memoLines != before.memoLines ||
        after.memoTop != before.memoTop) {
        Fail("a datagram that is not a request changed the call state or the log");
    }
    if (e.kind == Kind::Voice) {
        CheckVoice(h, e, before, after, filesOpen);
    } else if (after.incomingSize != before.incomingSize) {
        Fail("a datagram that is not voice was written to the incoming file");
    }
    return 0;
}
