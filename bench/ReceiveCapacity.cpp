// Receive capacity: a loopback peer sends 416-byte voice datagrams at rising rates; the window
// writes each payload to recv.au and counts it in LRecv. The baseline is a plain recvfrom loop
// that writes the same payloads to a file, with the same receive buffer, in the same run.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QLabel>
#include <QPushButton>
#include <atomic>
#include <cmath>
#include <iostream>
#include <thread>

#include "app/Controls.h"
#include "app/MainForm.h"
#include "bench/BenchDatagrams.h"
#include "bench/BenchFiles.h"
#include "bench/BenchSupport.h"
#include "bench/Benchmarks.h"
#include "net/NMUDP.h"
#include "shell/TextConversions.h"

namespace bench {
namespace {

int ReceiveBufferOf(int fd) {
    int size = 0;
    socklen_t length = sizeof size;
    ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length);
    return size;
}

std::thread StartSender(int peer, std::uint16_t port, std::uint64_t count, double rate,
                        PacedSending& sending, std::atomic<bool>& sent) {
    return std::thread([=, &sending, &sent] {
        BecomePeerThread();
        sending = SendPaced(peer, LoopbackAddress("127.0.0.1", port), count, rate,
                            phone::kVoiceSize, FillVoice);
        sent = true;
    });
}

void PutFileCheck(const std::string& path, std::uint64_t expected) {
    ChunkFileCheck check = CheckChunkFile(path, expected);
    Put("file_chunks", static_cast<double>(check.chunks));
    Put("file_first_wrong", static_cast<double>(check.firstWrong));
    Put("file_exact", check.exact ? 1 : 0);
}

}  // namespace

int ReceiveStep(const std::vector<std::string>& arguments) {
    const double rate = std::stod(arguments.at(0));
    const double seconds = std::stod(arguments.at(1));
    const auto count = static_cast<std::uint64_t>(std::llround(rate * seconds));
    const std::string directory = ExecutableDirectoryPath();
    TruncateFile(directory + "/recv.au");
    WriteChunkFile(directory + "/send.au", 1);

    OffscreenApplication application;
    const int peer = LoopbackSocket("127.0.0.2", 0, 0);
    auto window = std::make_unique<TForm1>(BenchForm1("127.0.0.2", LocalPort(peer)));
    window->show();
    window->bOpen->click();
    if (window->RecvFile <= 0) {
        throw std::runtime_error("the window could not open recv.au");
    }
    const std::uint16_t port = window->UDPSock->BoundPort();
    const double settle = Now() + 0.3;
    RunUntil([&] { return Now() >= settle; });

    auto received = [&] { return StrToInt(controls::Caption(window->LRecv)); };
    PacedSending sending;
    std::atomic<bool> sent{false};
    TickObserver ticks;
    const double cpuBefore = ThreadCpuSeconds(pthread_self());
    const double waitBefore = ThreadWaitSeconds();
    const double start = Now();
    std::thread sender = StartSender(peer, port, count, rate, sending, sent);
    std::int64_t lastCount = -1;
    double lastChange = Now();
    RunUntil(
        [&] {
            const std::int64_t now = received();
            if (now != lastCount) {
                lastCount = now;
                lastChange = Now();
            }
            return sent && (now >= static_cast<std::int64_t>(count) || Now() - lastChange > 0.5);
        },
        50);
    const double cpu = ThreadCpuSeconds(pthread_self()) - cpuBefore;
    const double waited = ThreadWaitSeconds() - waitBefore;
    const double elapsed = Now() - start;
    sender.join();

    Put("sent", static_cast<double>(sending.sent));
    Put("send_rate", sending.Rate());
    Put("received", static_cast<double>(received()));
    Put("drops", static_cast<double>(SocketDrops(port)));
    Put("receive_buffer", ReceiveBufferOf(window->UDPSock->SocketHandle()));
    Put("gui_cpu_percent", cpu / elapsed * 100);
    Put("gui_wait_percent", waited / elapsed * 100);
    Put("tick_max_gap_ms", ticks.LargestGap(start, start + elapsed) * 1000);
    Put("label_fits", window->LRecv->size() == window->LRecv->sizeHint() ? 1 : 0);
    Put("boxes", application.BoxesShown());
    PutFileCheck(directory + "/recv.au", count);
    ::close(peer);
    return 0;
}

int ReceiveBaselineStep(const std::vector<std::string>& arguments) {
    const double rate = std::stod(arguments.at(0));
    const double seconds = std::stod(arguments.at(1));
    const int receiveBuffer = std::stoi(arguments.at(2));
    const auto count = static_cast<std::uint64_t>(std::llround(rate * seconds));
    const std::string path = ExecutableDirectoryPath() + "/recv-baseline.au";
    TruncateFile(path);
    const int file = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);

    BecomeWindowThread();
    const int socket = LoopbackSocket("127.0.0.1", 0, 0);
    // Asked for like a program would (the kernel doubles the request), so the buffer matches.
    int request = receiveBuffer / 2;
    ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &request, sizeof request);
    timeval quiet{0, 500'000};
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);
    const std::uint16_t port = LocalPort(socket);
    const int peer = LoopbackSocket("127.0.0.2", 0, 0);

    PacedSending sending;
    std::atomic<bool> sent{false};
    std::thread sender = StartSender(peer, port, count, rate, sending, sent);
    std::uint64_t received = 0;
    std::uint8_t buffer[2048];
    for (;;) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = ::recvfrom(socket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                               &fromLength);
        if (n < 0) {
            if (sent) {
                break;
            }
            continue;
        }
        if (n > static_cast<ssize_t>(phone::kRequestSize)) {
            const std::int16_t length = phone::ReadHeader({buffer, sizeof buffer}).Length;
            if (length > 0) {
                ::write(file, buffer + phone::kOffsetPayload, static_cast<std::size_t>(length));
            }
            ++received;
        }
    }
    sender.join();
    Put("sent", static_cast<double>(sending.sent));
    Put("send_rate", sending.Rate());
    Put("received", static_cast<double>(received));
    Put("drops", static_cast<double>(SocketDrops(port)));
    Put("receive_buffer", ReceiveBufferOf(socket));
    PutFileCheck(path, count);
    ::close(file);
    ::close(socket);
    ::close(peer);
    return 0;
}

namespace {

StepOutcome JudgeReceiveStep(const char* who, double rate,
                             const std::map<std::string, std::string>& r) {
    const double sent = Number(r, "sent");
    const double received = Number(r, "received");
    const double drops = Number(r, "drops");
    const bool exact = Number(r, "file_exact") == 1;
    StepOutcome outcome;
    outcome.senderLimited = Number(r, "send_rate") < 0.97 * rate;
    outcome.passed = !outcome.senderLimited && Number(r, "exit_status") == 0 && sent > 0 &&
                     received == sent && drops == 0 && exact && Number(r, "boxes", 0) == 0 &&
                     Number(r, "label_fits", 1) == 1;
    outcome.note =
        "sent " + Format(sent, 0) + " at " + Format(Number(r, "send_rate"), 0) + "/s, counted " +
        Format(received, 0) + ", socket drops " + Format(drops, 0) + ", file " +
        (exact ? "exact" : "WRONG from chunk " + Format(Number(r, "file_first_wrong"), 0));
    if (r.count("gui_wait_percent") != 0) {
        outcome.note += "; the GUI thread was busy " + Format(Number(r, "gui_cpu_percent"), 0) +
                        " % and waited for a processor " +
                        Format(Number(r, "gui_wait_percent"), 1) + " % of the time";
    }
    std::cerr << "  " << who << " " << Format(rate, 0) << "/s: " << outcome.note;
    if (r.count("tick_max_gap_ms") != 0) {
        std::cerr << ", largest tick gap " << Format(Number(r, "tick_max_gap_ms"), 0) << " ms";
    }
    std::cerr << (outcome.passed          ? "  -> no loss"
                  : outcome.senderLimited ? "  -> sender limit"
                                          : "  -> LOSS")
              << '\n';
    return outcome;
}

}  // namespace

int ReceiveCapacity(const std::vector<std::string>& /*arguments*/) {
    const double seconds = StepSeconds();
    const std::vector<double> programRates = {10e3,  20e3,  30e3,  40e3,  50e3,  60e3,
                                              70e3,  80e3,  90e3,  100e3, 120e3, 140e3,
                                              160e3, 180e3, 200e3, 250e3, 300e3};
    std::vector<double> baselineRates = programRates;
    for (double rate : {400e3, 500e3, 600e3, 800e3, 1000e3}) {
        baselineRates.push_back(rate);
    }

    std::cerr << "receive capacity: window, " << seconds << " s per rate\n";
    int receiveBuffer = 0;
    RateSearch program = SearchRates(programRates, [&](double rate) {
        auto r = RunChild({"receive-step", std::to_string(rate), std::to_string(seconds)});
        receiveBuffer = static_cast<int>(Number(r, "receive_buffer", 0));
        return JudgeReceiveStep("window", rate, r);
    });
    std::cerr << "receive capacity: plain recvfrom loop, receive buffer " << receiveBuffer
              << " bytes\n";
    RateSearch baseline = SearchRates(baselineRates, [&](double rate) {
        auto r = RunChild({"receive-baseline-step", std::to_string(rate), std::to_string(seconds),
                           std::to_string(receiveBuffer)});
        return JudgeReceiveStep("baseline", rate, r);
    });

    const std::string baselineText = (baseline.senderLimited ? ">= " : "") +
                                     Format(baseline.highestPassed, 0) + "/s" +
                                     (baseline.senderLimited ? " (the sender's limit)" : "");
    Row("2 Receive: highest rate without loss (10 s per rate, receive buffer " +
            Format(receiveBuffer, 0) + " B)",
        Format(program.highestPassed, 0) + "/s", ">= 50,000/s", baselineText,
        Verdict(program.highestPassed >= 50e3));
    const double ratio =
        baseline.highestPassed > 0 ? program.highestPassed / baseline.highestPassed : NAN;
    Row("2 Receive: window / baseline", (baseline.senderLimited ? "<= " : "") + Format(ratio, 2),
        ">= 0.25", "", Verdict(ratio >= 0.25));
    if (program.firstFailed > 0) {
        Row("2 Receive: window at " + Format(program.firstFailed, 0) + "/s", program.failedNote,
            "(first rate with loss)", "", "-");
    }
    return 0;
}

}  // namespace bench
