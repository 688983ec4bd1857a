// A repeatable workload for a profiler: the window on screen takes bursts of Ring requests of a
// chosen size, each burst handed over as the socket's readiness hands it over (one gathering, one
// notification per datagram), then the loop's posted work (the settle's slices, the paint) runs
// until nothing is left. Nothing here depends on time, so an instruction profile (callgrind) of
// the same arguments gives the same counts on a busy machine as on a quiet one; bursts of two
// sizes tell the cost of a burst from the cost of a request.
//
// valgrind --tool=callgrind --instr-atstart=no udpphone_bench ring-profile BURSTS SIZE [PREFILL]
// (the profile starts after the prefill, so call counts are the profiled part's alone)

#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <stdexcept>

#include "app/Controls.h"
#include "app/MainForm.h"
#include "bench/BenchSupport.h"
#include "bench/Benchmarks.h"
#include "bench/FloodingPeer.h"
#include "net/NMUDP.h"
#include "shell/Gathering.h"

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#endif

namespace bench {
namespace {

class RingSender {
  public:
    RingSender() : fd_(LoopbackSocket("127.0.0.2", 0, 64 << 20)) {}
    ~RingSender() { ::close(fd_); }
    RingSender(const RingSender&) = delete;
    RingSender& operator=(const RingSender&) = delete;
    std::uint16_t Port() const { return LocalPort(fd_); }

    // Queues `count` Rings on the window's socket: loopback delivers before sendto returns.
    void Send(std::uint16_t windowPort, int count) {
        const sockaddr_in to = LoopbackAddress("127.0.0.1", windowPort);
        for (int i = 0; i < count; ++i) {
            std::uint8_t datagram[phone::kRequestSize];
            FillFloodRequest(datagram, next_++, FloodKind::Ring);
            if (::sendto(fd_, datagram, sizeof datagram, 0, reinterpret_cast<const sockaddr*>(&to),
                         sizeof to) != static_cast<ssize_t>(sizeof datagram)) {
                throw std::runtime_error("cannot queue a Ring");
            }
        }
    }

    // Takes the replies waiting; gives how many there were.
    int Drain() {
        int replies = 0;
        std::uint8_t reply[64];
        while (::recv(fd_, reply, sizeof reply, MSG_DONTWAIT) > 0) {
            ++replies;
        }
        return replies;
    }

  private:
    int fd_;
    std::uint64_t next_ = 0;
};

// One burst as the socket's readiness hands it over, then the loop's turns until it is idle.
int Burst(TForm1& window, RingSender& sender, int size) {
    TNMUDP& socket = *window.UDPSock;
    sender.Send(socket.BoundPort(), size);
    {
        const shell::GatherScope gathering;
        for (int i = 0; i < size; ++i) {
            socket.SocketWindowProc(
                {SocketNotifyMessage, static_cast<std::uintptr_t>(socket.SocketHandle()), kFdRead});
        }
    }
    // Posted work only: nothing that waits for the clock.
    auto* dispatcher = QAbstractEventDispatcher::instance();
    while (dispatcher->processEvents(QEventLoop::AllEvents)) {
    }
    return sender.Drain();
}

}  // namespace

// Arguments: bursts, requests per burst, and optionally requests to log first (in bursts of
// 100, not profiled), which fills Memo1 at about 51,000.
int RingProfile(const std::vector<std::string>& arguments) {
    const int bursts = std::stoi(arguments.at(0));
    const int size = std::stoi(arguments.at(1));
    const int prefill = arguments.size() > 2 ? std::stoi(arguments[2]) : 0;
    OffscreenApplication application;
    RingSender sender;
    auto window = std::make_unique<TForm1>(BenchForm1("127.0.0.2", sender.Port()));
    window->show();
    QApplication::processEvents();
    for (int done = 0; done < prefill; done += 100) {
        Burst(*window, sender, 100);
    }
    int replies = 0;
    CALLGRIND_START_INSTRUMENTATION;
    for (int b = 0; b < bursts; ++b) {
        replies += Burst(*window, sender, size);
    }
    CALLGRIND_STOP_INSTRUMENTATION;
    Put("replies", replies);
    Put("memo_characters", window->Memo1->document()->characterCount() - 1);
    Put("memo_lines", window->Memo1->document()->blockCount());
    Put("rss", static_cast<double>(ResidentBytes()));
    Put("boxes", application.BoxesShown());
    return replies == bursts * size ? 0 : 1;
}

}  // namespace bench
