// Waiting for a host lookup: Ring clicked while idle with eIP naming a host whose lookup takes
// 2 s (the namespace's DNS responder answers late). The click's handler waits inside the send;
// meanwhile the window must stay idle on the processor and keep ticking.

#include <sys/socket.h>
#include <unistd.h>

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "app/Controls.h"
#include "app/MainForm.h"
#include "bench/BenchSupport.h"
#include "bench/Benchmarks.h"

namespace bench {

namespace {
constexpr const char* kLateName = "delay-2000.ip-127-0-0-2.dns.test";
}

int LookupWaitStep(const std::vector<std::string>& /*arguments*/) {
    OffscreenApplication application;
    const int peer = LoopbackSocket("127.0.0.2", 0, 0);
    timeval quiet{10, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);
    auto window = std::make_unique<TForm1>(BenchForm1(kLateName, LocalPort(peer)));
    window->show();
    TickObserver ticks;

    std::atomic<double> ringArrived{-1};
    std::thread peerThread([&] {
        BecomePeerThread();
        std::uint8_t buffer[64];
        if (::recv(peer, buffer, sizeof buffer, 0) == 12 && buffer[8] == phone::CmdRing) {
            ringArrived = Now();
        }
    });

    double clicked = 0;
    double returned = 0;
    double processCpu = 0;
    double guiCpu = 0;
    double idleCpu = 0;
    const double idleFrom = Now() + 0.5;
    double idleCpuFrom = 0;
    QTimer::singleShot(500, [&] { idleCpuFrom = ProcessCpuSeconds(); });
    QTimer::singleShot(1500, [&] {
        idleCpu = (ProcessCpuSeconds() - idleCpuFrom) / (Now() - idleFrom);
        const double processBefore = ProcessCpuSeconds();
        const double guiBefore = ThreadCpuSeconds(pthread_self());
        clicked = Now();
        window->bRing->click();  // returns once the send is done
        returned = Now();
        processCpu = ProcessCpuSeconds() - processBefore;
        guiCpu = ThreadCpuSeconds(pthread_self()) - guiBefore;
    });
    RunUntil([&] { return returned > 0; });
    peerThread.join();
    const double wait = returned - clicked;
    Put("wait_s", wait);
    Put("ring_sent_after_s", ringArrived < 0 ? NAN : ringArrived - clicked);
    Put("process_cpu_percent", processCpu / wait * 100);
    Put("gui_cpu_percent", guiCpu / wait * 100);
    Put("idle_cpu_percent", idleCpu * 100);
    Put("tick_max_gap_ms", ticks.LargestGap(clicked, returned) * 1000);
    std::size_t during = 0;
    for (double tick : ticks.Ticks()) {
        during += tick >= clicked && tick <= returned ? 1 : 0;
    }
    Put("ticks_during_wait", static_cast<double>(during));
    Put("mode_caption", controls::Caption(window->LMode));
    Put("boxes", application.BoxesShown());
    ::close(peer);
    return 0;
}

int LookupWait(const std::vector<std::string>& /*arguments*/) {
    if (std::getenv("UDPPHONE_TEST_NAMESPACE") == nullptr) {
        Row("4 Lookup wait", "skipped: needs the test namespace's DNS responder", "", "", "-");
        return 0;
    }
    std::cerr << "lookup wait: Ring to " << kLateName << "\n";
    auto r = RunChild({"lookup-wait-step"});
    const double wait = Number(r, "wait_s", NAN);
    const double sentAfter = Number(r, "ring_sent_after_s", NAN);
    const double cpu = Number(r, "process_cpu_percent", NAN);
    const double gap = Number(r, "tick_max_gap_ms", NAN);
    const bool sent = !std::isnan(sentAfter) && Number(r, "boxes") == 0;
    Row("4 Lookup: processor use of the program during the " + Format(wait, 2) +
            " s wait (GUI thread " + Format(Number(r, "gui_cpu_percent"), 2) + " %, idle " +
            Format(Number(r, "idle_cpu_percent"), 2) + " %; Ring " +
            (sent ? "sent after " + Format(sentAfter, 2) + " s" : "NOT SENT") + ")",
        Format(cpu, 2) + " % of one core", "< 5 %", "", Verdict(cpu < 5 && sent));
    Row("4 Lookup: largest tick gap during the wait (" + Format(Number(r, "ticks_during_wait"), 0) +
            " ticks)",
        Format(gap, 1) + " ms", "on time: <= 52 ms", "", Verdict(gap <= 52));
    return 0;
}

double StepSeconds() {
    const char* text = std::getenv("BENCH_STEP_SECONDS");
    return text != nullptr ? std::atof(text) : 10.0;
}

}  // namespace bench
