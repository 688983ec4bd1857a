// The headless peer's figures, on the real udpphone-peer executable. Pacing: `call` streams a
// file for a minute to a receiver of the benchmark's own, which answers its requests and takes
// a kernel timestamp (SO_TIMESTAMPNS) of every voice datagram. Load: `load --kind ring` on core 0
// against `answer --reply-to-sender` on core 1, at rising rates, and once with the kernel's
// default receive buffer.

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "bench/BenchFiles.h"
#include "bench/BenchSupport.h"
#include "bench/Benchmarks.h"
#include "bench/PeerChildren.h"
#include "phone/PhoneDatagram.h"

namespace bench {
namespace {

constexpr double kPeriod = 0.047;
constexpr int kDefaultReceiveBuffer = 212'992;  // net.core.rmem_default on Debian 12

struct Arrivals {
    std::vector<double> stamps;  // kernel receive times of the voice datagrams
    bool disconnected = false;
};

// Answers every request with status 1 and stamps the voice, until the Disconnect or 10 s of
// nothing.
Arrivals Receive(int fd) {
    Arrivals arrivals;
    std::uint8_t buffer[2048];
    char control[256];
    double lastHeard = Now();
    while (!arrivals.disconnected && Now() - lastHeard < 10) {
        sockaddr_in from{};
        iovec vector{buffer, sizeof buffer};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t count = ::recvmsg(fd, &message, 0);
        if (count < 0) {
            continue;  // the receive timeout: look at the clock again
        }
        lastHeard = Now();
        const auto header = phone::ReadHeader({buffer, static_cast<std::size_t>(count)});
        if (count == static_cast<ssize_t>(phone::kRequestSize) && header.Status == 0) {
            phone::SetStatus({buffer, phone::kRequestSize}, phone::StatusAccepted);
            ::sendto(fd, buffer, phone::kRequestSize, 0, reinterpret_cast<sockaddr*>(&from),
                     sizeof from);
            arrivals.disconnected = header.Command == phone::CmdDisconnect;
        } else if (header.Command == phone::CmdVoice && header.Status == 0) {
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec stamp{};
                    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                    arrivals.stamps.push_back(static_cast<double>(stamp.tv_sec) +
                                              static_cast<double>(stamp.tv_nsec) * 1e-9);
                }
            }
        }
    }
    return arrivals;
}

struct LoadStep {
    double rate = 0;
    int receiveBuffer = 0;
    nlohmann::json load, responder;
    int loadExit = -1, responderExit = -1;
    double AnsweredPercent() const { return Get(load["load"]["answered_percent"], 0); }
    double Achieved() const { return Get(load["load"]["achieved_rate"], 0); }
    bool AllAnswered() const {
        return loadExit == 0 && load["load"]["answered"] == load["load"]["sent"] &&
               Get(load["load"]["sent"], 0) > 0;
    }
    std::string Note() const {
        return "sent " + Format(Get(load["load"]["sent"], 0), 0) + " at " + Format(Achieved(), 0) +
               "/s, answered " + Format(AnsweredPercent(), 3) + " %, drops at the responder " +
               Format(Get(responder["receive_drops"], 0), 0) + " and at the loader " +
               Format(Get(load["receive_drops"], 0), 0) + ", buffers " +
               Format(Get(load["receive_buffer_bytes"], 0), 0) + " B";
    }
};

LoadStep RunLoadStep(const std::string& peer, double rate, double seconds, int receiveBuffer) {
    LoadStep step;
    step.rate = rate;
    step.receiveBuffer = receiveBuffer;
    const std::string buffer = std::to_string(receiveBuffer);
    Child responder =
        Spawn(1, {peer, "answer", "--bind", "127.0.0.2", "--local-port", "21900",
                  "--reply-to-sender", "--quiet", "--json", "--receive-buffer", buffer});
    const double giveUp = Now() + 10;
    while (SocketDrops(21900) < 0 && Now() < giveUp) {
        ::usleep(10'000);
    }
    Child load = Spawn(
        0, {peer, "load", "127.0.0.2:21900", "--bind", "127.0.0.3", "--local-port", "21901",
            "--kind", "ring", "--rate", std::to_string(rate), "--duration", std::to_string(seconds),
            "--quiet", "--json", "--receive-buffer", buffer, "--timeout", "2000"});
    step.load = Finish(load, &step.loadExit);
    ::kill(responder.pid, SIGINT);
    step.responder = Finish(responder, &step.responderExit);
    return step;
}

}  // namespace

int PeerPacing(const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        throw std::runtime_error("usage: peer-pacing PEER [SECONDS]");
    }
    const std::string& peer = arguments[0];
    const double seconds = arguments.size() > 1 ? std::stod(arguments[1]) : 60;
    const std::string file = ExecutableDirectoryPath() + "/peer-voice";
    WriteChunkFile(file, static_cast<std::uint64_t>(std::ceil((seconds + 5) / kPeriod)));

    const int fd = LoopbackSocket("127.0.0.2", 0, 16 << 20);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    timeval quiet{0, 200'000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);
    PinThisThread(1);
    Child call = Spawn(0, {peer, "call", "127.0.0.2:" + std::to_string(LocalPort(fd)), "--bind",
                           "127.0.0.3", "--local-port", "0", "--play", file, "--talk-seconds",
                           std::to_string(seconds), "--quiet", "--json", "--timeout", "5000"});
    const Arrivals arrivals = Receive(fd);
    int exitCode = -1;
    const nlohmann::json summary = Finish(call, &exitCode);
    ::close(fd);

    std::vector<double> spacing;
    for (std::size_t i = 1; i < arrivals.stamps.size(); ++i) {
        spacing.push_back((arrivals.stamps[i] - arrivals.stamps[i - 1]) * 1e3);
    }
    const std::size_t n = arrivals.stamps.size();
    const double median = Percentile(spacing, 0.5);
    const double p99 = Percentile(spacing, 0.99);
    const double drift = n < 2 ? NAN
                               : ((arrivals.stamps.back() - arrivals.stamps.front()) -
                                  static_cast<double>(n - 1) * kPeriod) *
                                     1e3;
    const std::string scope = " (" + Format(static_cast<double>(n), 0) + " datagrams over " +
                              Format(seconds, 0) + " s, kernel stamps at the receiver)";
    Row("6 Peer voice: median spacing" + scope, Format(median, 3) + " ms", "47.00 +- 0.05 ms", "",
        Verdict(std::fabs(median - 47) <= 0.05));
    Row("6 Peer voice: 99th percentile spacing", Format(p99, 3) + " ms", "<= 48.0 ms", "",
        Verdict(p99 <= 48.0));
    Row("6 Peer voice: largest and smallest spacing",
        Format(spacing.empty() ? NAN : *std::max_element(spacing.begin(), spacing.end()), 3) +
            " / " +
            Format(spacing.empty() ? NAN : *std::min_element(spacing.begin(), spacing.end()), 3) +
            " ms",
        "(reported)", "", "-");
    Row("6 Peer voice: drift of the last datagram against first + (n-1) x 47 ms",
        Format(drift, 3) + " ms", "<= 1 ms", "", Verdict(std::fabs(drift) <= 1));
    Row("6 Peer voice: the peer's own figures (exit " + std::to_string(exitCode) + ")",
        "drift " + Format(Get(summary["drift_ms"]), 3) + " ms, stalls " +
            Format(Get(summary["stalls"], 0), 0) + ", send spacing p99 " +
            Format(Get(summary["pacing_sent_ms"]["p99"]), 3) + " ms",
        "(reported)", "", exitCode == 0 && arrivals.disconnected ? "-" : "FAILED RUN");
    return 0;
}

int PeerLoad(const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        throw std::runtime_error("usage: peer-load PEER");
    }
    const std::string& peer = arguments[0];
    const double seconds = StepSeconds();
    const int buffer = 4 << 20;
    const LoadStep target = RunLoadStep(peer, 100'000, seconds, buffer);
    Row("7 Peer load: Ring requests at 100,000/s for " + Format(seconds, 0) +
            " s, load on core 0, answer --reply-to-sender on core 1, every reply counted",
        Format(target.AnsweredPercent(), 3) + " % answered at " + Format(target.Achieved(), 0) +
            "/s",
        "100 % at >= 100,000/s (sending rate within 0.1 %)", "",
        Verdict(target.AllAnswered() && target.Achieved() >= 99'900));
    Row("7 Peer load: reply latency at 100,000/s (median / p99 / largest)",
        Format(Get(target.load["reply_latency_ms"]["median"]), 3) + " / " +
            Format(Get(target.load["reply_latency_ms"]["p99"]), 3) + " / " +
            Format(Get(target.load["reply_latency_ms"]["max"]), 3) + " ms",
        "(reported)", "", "-");
    Row("7 Peer load: at 100,000/s in detail", target.Note(), "(reported)", "", "-");

    double highest = target.AllAnswered() ? target.Achieved() : 0;
    std::string firstMiss = "none up to 400,000/s";
    if (target.AllAnswered()) {
        for (double rate : {150'000.0, 200'000.0, 300'000.0, 400'000.0}) {
            const LoadStep step = RunLoadStep(peer, rate, seconds, buffer);
            if (!step.AllAnswered()) {
                firstMiss = Format(rate, 0) + "/s: " + step.Note();
                break;
            }
            highest = step.Achieved();
        }
    }
    Row("7 Peer load: highest rate the responder answered in full (4 MiB buffers)",
        Format(highest, 0) + "/s", "(what the responder reaches)", "", "-");
    Row("7 Peer load: first rate with a reply missing", firstMiss, "(reported)", "", "-");

    const LoadStep small = RunLoadStep(peer, 100'000, seconds, kDefaultReceiveBuffer);
    Row("7 Peer load: at 100,000/s with the kernel's default receive buffer (212,992 B)",
        small.Note(), "(what SO_RCVBUF needs)", "", small.AllAnswered() ? "enough" : "too small");
    return 0;
}

}  // namespace bench
