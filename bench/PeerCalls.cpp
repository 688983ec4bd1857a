// Many calls at once, on the real udpphone-peer executable: `calls` on core 0 against
// `answer --phones N --reply-to-sender` on core 1, both on loopback. Calls with voice both ways
// held for a minute at 1,000 at once and then at rising counts until one fails; and calls placed
// and torn down without voice as fast as the rate asks. Both peers run at real-time priority where
// that is allowed, and 1,000 calls run once more without it to show what it is worth.

#include <signal.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "bench/BenchFiles.h"
#include "bench/BenchSupport.h"
#include "bench/Benchmarks.h"
#include "bench/PeerChildren.h"

namespace bench {
namespace {

constexpr double kPeriod = 0.047;
constexpr int kFirstPhonePort = 30000;

double TalkSeconds() {
    const char* text = std::getenv("BENCH_CALLS_SECONDS");
    return text != nullptr && std::atof(text) > 0 ? std::atof(text) : 60;
}

// The phones answering, one per port from kFirstPhonePort, on core 1.
Child StartPhones(const std::string& peer, int phones, const std::string& play,
                  Scheduling scheduling) {
    std::vector<std::string> command = {peer,
                                        "answer",
                                        "--bind",
                                        "127.0.0.2",
                                        "--local-port",
                                        std::to_string(kFirstPhonePort),
                                        "--phones",
                                        std::to_string(phones),
                                        "--reply-to-sender",
                                        "--quiet",
                                        "--json"};
    if (!play.empty()) {
        command.insert(command.end(), {"--play", play});
    }
    Child answer = Spawn(1, command, scheduling);
    const double giveUp = Now() + 20;
    while (SocketDrops(static_cast<std::uint16_t>(kFirstPhonePort + phones - 1)) < 0 &&
           Now() < giveUp) {
        ::usleep(20'000);
    }
    return answer;
}

std::string PortRange(int phones) {
    return "127.0.0.2:" + std::to_string(kFirstPhonePort) + "-" +
           std::to_string(kFirstPhonePort + phones - 1);
}

// One run of `concurrent` calls with voice both ways for `seconds`, each to a phone of its own.
struct VoiceStep {
    int concurrent = 0;
    int exitCode = -1, answerExit = -1;
    nlohmann::json summary, answered;
    std::vector<nlohmann::json> calls;  // the per-call objects
    double cpuShare = NAN;              // of `calls`, while every call was up
    double residentBytes = NAN;         // of `calls`, while every call was up
    double worstP99 = NAN, worstDrift = NAN;
    std::uint64_t seqEvents = 0, stalls = 0, failed = 0;
    std::uint64_t driftOver = 0;  // calls whose drift is over the target's 1 ms

    bool Held() const {
        return exitCode == 0 && failed == 0 && static_cast<int>(calls.size()) == concurrent &&
               worstP99 <= 48.0 && worstDrift <= 1.0 && seqEvents == 0 && stalls == 0 &&
               Get(summary["receive_drops"], 1) == 0 && Get(answered["receive_drops"], 1) == 0;
    }
    std::string Note() const {
        return Format(static_cast<double>(calls.size()), 0) + " of " + std::to_string(concurrent) +
               " calls ended, " + Format(static_cast<double>(failed), 0) +
               " failed; worst receive spacing p99 " + Format(worstP99, 3) + " ms, worst drift " +
               Format(worstDrift, 3) + " ms (" + Format(static_cast<double>(driftOver), 0) +
               " calls over 1 ms), Seq events " + Format(static_cast<double>(seqEvents), 0) +
               ", stalls " + Format(static_cast<double>(stalls), 0) + ", receive drops " +
               Format(Get(summary["receive_drops"], -1), 0) + " / " +
               Format(Get(answered["receive_drops"], -1), 0) + " (calls / phones), exit " +
               std::to_string(exitCode);
    }
};

VoiceStep RunVoiceStep(const std::string& peer, int concurrent, double seconds,
                       const std::string& play, Scheduling scheduling) {
    VoiceStep step;
    step.concurrent = concurrent;
    Child answer = StartPhones(peer, concurrent, play, scheduling);
    // Started over two seconds, so that the first datagrams of the calls do not all fall due in
    // the same millisecond.
    const double rate = std::max(100.0, concurrent / 2.0);
    Child calls = Spawn(0,
                        {peer, "calls", PortRange(concurrent), "--bind", "127.0.0.3", "--calls",
                         std::to_string(concurrent), "--concurrent", std::to_string(concurrent),
                         "--rate", std::to_string(rate), "--talk-seconds", std::to_string(seconds),
                         "--play", play, "--timeout", "5000", "--quiet", "--json"},
                        scheduling);
    // Processor and memory of `calls` while every call is up: from the end of the ramp to just
    // before the first call ends (it prints as each ends, and the pipe is read only afterwards).
    const double start = Now();
    const double from = start + concurrent / rate + 2;
    const double to = start + seconds - 2;
    if (to > from + 1) {
        ::usleep(static_cast<useconds_t>((from - Now()) * 1e6));
        const double cpu0 = ProcCpuSeconds(calls.pid);
        const double wall0 = Now();
        ::usleep(static_cast<useconds_t>((to - Now()) * 1e6));
        step.cpuShare = (ProcCpuSeconds(calls.pid) - cpu0) / (Now() - wall0);
        step.residentBytes = static_cast<double>(ResidentBytes(calls.pid));
    }
    std::vector<nlohmann::json> lines;
    step.summary = Finish(calls, &step.exitCode, &lines);
    ::kill(answer.pid, SIGINT);
    step.answered = Finish(answer, &step.answerExit);
    step.worstP99 = step.worstDrift = 0;
    for (const nlohmann::json& line : lines) {
        if (!line.contains("call")) {
            continue;
        }
        const nlohmann::json& call = line["call"];
        step.calls.push_back(call);
        step.failed += call.value("verdict", "") != "pass";
        step.worstP99 = std::max(step.worstP99, Get(call["received_spacing_ms"]["p99"], INFINITY));
        const double drift = std::fabs(Get(call["drift_ms"], INFINITY));
        step.worstDrift = std::max(step.worstDrift, drift);
        step.driftOver += drift > 1.0 ? 1 : 0;
        step.seqEvents += static_cast<std::uint64_t>(Get(call["seq"]["gaps"], 1) +
                                                     Get(call["seq"]["duplicates"], 1) +
                                                     Get(call["seq"]["reordered"], 1));
        step.stalls += static_cast<std::uint64_t>(Get(call["stalls"], 1));
    }
    return step;
}

// What the host's timers alone give: on each core, one thread waits on a timerfd for `schedules`
// absolute 47 ms schedules as the two peers do, and sends nothing. The worst of the schedules'
// spacing p99 (their wake-ups, not kernel stamps), over both cores at once.
double TimerBaselineWorstP99(int schedules, double seconds, Scheduling scheduling) {
    std::vector<double> worst(2, 0);
    auto run = [&](int cpu) {
        PinThisThread(cpu);
        if (scheduling == Scheduling::RealTime) {
            MakeThisThreadRealTime();
        }
        const int timer = ::timerfd_create(CLOCK_MONOTONIC, 0);
        const int epoll = ::epoll_create1(0);
        epoll_event watched{};
        watched.events = EPOLLIN;
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, timer, &watched);
        const double start = Now() + 0.05;
        std::vector<double> last(static_cast<std::size_t>(schedules), -1);
        std::vector<std::vector<double>> spacing(static_cast<std::size_t>(schedules));
        std::vector<double> due(static_cast<std::size_t>(schedules));
        for (int i = 0; i < schedules; ++i) {
            due[static_cast<std::size_t>(i)] = start + kPeriod * i / schedules;
        }
        std::size_t next = 0;  // the schedules fall due in turn
        while (Now() < start + seconds) {
            const double at = due[next];
            if (at > Now()) {
                itimerspec when{};
                when.it_value.tv_sec = static_cast<time_t>(at);
                when.it_value.tv_nsec = static_cast<long>((at - std::floor(at)) * 1e9);
                ::timerfd_settime(timer, TFD_TIMER_ABSTIME, &when, nullptr);
                epoll_event event{};
                ::epoll_wait(epoll, &event, 1, -1);
                std::uint64_t expirations = 0;
                [[maybe_unused]] const ssize_t ignored = ::read(timer, &expirations, 8);
            }
            const double now = Now();
            if (last[next] >= 0) {
                spacing[next].push_back((now - last[next]) * 1e3);
            }
            last[next] = now;
            due[next] += kPeriod;
            next = (next + 1) % static_cast<std::size_t>(schedules);
        }
        for (const std::vector<double>& one : spacing) {
            if (!one.empty()) {
                worst[static_cast<std::size_t>(cpu)] =
                    std::max(worst[static_cast<std::size_t>(cpu)], Percentile(one, 0.99));
            }
        }
        ::close(epoll);
        ::close(timer);
    };
    // Both on threads of their own, so that the bench's main thread keeps its class.
    std::thread first(run, 0);
    std::thread second(run, 1);
    first.join();
    second.join();
    return std::max(worst[0], worst[1]);
}

}  // namespace

int PeerCalls(const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        throw std::runtime_error("usage: peer-calls PEER");
    }
    const std::string& peer = arguments[0];
    const double seconds = TalkSeconds();
    const std::string play = ExecutableDirectoryPath() + "/calls-voice";
    WriteChunkFile(play, static_cast<std::uint64_t>(std::ceil((seconds + 10) / kPeriod)));

    const Scheduling paced = RealTimeAllowed() ? Scheduling::RealTime : Scheduling::Default;
    const VoiceStep thousand = RunVoiceStep(peer, 1000, seconds, play, paced);
    const std::string scope = " (" + Format(seconds, 0) + " s of voice both ways, " +
                              Format(1000 / kPeriod, 0) + " datagrams/s each way; " +
                              (paced == Scheduling::RealTime
                                   ? "both peers at real-time priority 10, chrt --fifo)"
                                   : "default scheduling: real-time priority is not allowed here)");
    const double baseline = TimerBaselineWorstP99(1000, std::min(seconds, 20.0), paced);
    Row("8 Many calls: 1,000 at once" + scope, thousand.Note(),
        "all complete; each p99 <= 48.0 ms, drift <= 1 ms; no gap, stall or drop",
        "timers alone, 1,000 schedules on each core: worst p99 " + Format(baseline, 3) + " ms",
        Verdict(thousand.Held()));
    Row("8 Many calls: `calls` at 1,000 calls, processor share / resident memory per call",
        Format(thousand.cpuShare * 100, 1) + " % / " +
            Format(thousand.residentBytes / 1000 / 1024, 1) + " KiB",
        "(reported)", "", "-");
    Row("8 Many calls: the phones' figures at 1,000 calls",
        "voice in " + Format(Get(thousand.answered["voice_received"], 0), 0) + ", out " +
            Format(Get(thousand.answered["voice_sent"], 0), 0) + ", received spacing p99 " +
            Format(Get(thousand.answered["pacing_received_ms"]["p99"]), 3) + " ms, largest drift " +
            Format(Get(thousand.answered["drift_ms"]), 3) + " ms, exit " +
            std::to_string(thousand.answerExit),
        "(reported)", "", "-");
    if (paced == Scheduling::RealTime) {
        const VoiceStep plain = RunVoiceStep(peer, 1000, seconds, play, Scheduling::Default);
        Row("8 Many calls: 1,000 at once under the default scheduling class, for comparison",
            plain.Note(), "(reported)", "", "-");
    }

    int largest = thousand.Held() ? 1000 : 0;
    std::string firstMiss = thousand.Held() ? "none up to 10,000" : "1,000 (the first row)";
    // Up from 1,000 while it holds, or down from it until it does.
    const std::vector<int> counts =
        thousand.Held() ? std::vector<int>{2000, 5000, 10000} : std::vector<int>{500, 200, 100};
    for (int concurrent : counts) {
        const VoiceStep step = RunVoiceStep(peer, concurrent, seconds, play, paced);
        if (thousand.Held() && !step.Held()) {
            firstMiss = std::to_string(concurrent) + ": " + step.Note();
            break;
        }
        if (!thousand.Held() && step.Held()) {
            largest = concurrent;
            break;
        }
        if (step.Held()) {
            largest = concurrent;
        } else {
            firstMiss = std::to_string(concurrent) + ": " + step.Note();
        }
    }
    Row("8 Many calls: the most at once with every figure of the first row held",
        Format(largest, 0), "(reported)", "", "-");
    Row("8 Many calls: the nearest count that missed", firstMiss, "(reported)", "", "-");

    // Calls without voice: Ring, Talk, Disconnect and their replies, as fast as --rate asks.
    const double callSeconds = StepSeconds();
    Child answer = StartPhones(peer, 100, "", paced);
    Child calls = Spawn(0,
                        {peer, "calls", PortRange(100), "--bind", "127.0.0.3", "--duration",
                         std::to_string(callSeconds), "--rate", "5000", "--concurrent", "500",
                         "--talk-seconds", "0", "--timeout", "2000", "--quiet", "--json"},
                        paced);
    int exitCode = -1, answerExit = -1;
    const nlohmann::json placed = Finish(calls, &exitCode);
    ::kill(answer.pid, SIGINT);
    Finish(answer, &answerExit);
    const double completed = Get(placed["calls"]["completed"], 0);
    const double perSecond = completed / callSeconds;
    Row("8 Many calls: calls placed and torn down without voice, 100 phones, " +
            Format(callSeconds, 0) + " s",
        Format(perSecond, 0) + " calls/s, " + Format(completed, 0) + " completed, " +
            Format(Get(placed["calls"]["failed"], -1), 0) + " failed, exit " +
            std::to_string(exitCode),
        ">= 5,000 calls/s, none failed", "",
        Verdict(exitCode == 0 && perSecond >= 4990 && Get(placed["calls"]["failed"], 1) == 0));
    return 0;
}

}  // namespace bench
