// The HTML report's costs, on the real udpphone-peer executable: `report -o` on a one-hour call
// capture that this benchmark writes, against `tshark -r` reading the same file in the same run;
// `load --report` at 100,000 requests a second; and the processor time --report adds to a call.

#include <fcntl.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "bench/BenchFiles.h"
#include "bench/BenchSupport.h"
#include "bench/Benchmarks.h"
#include "bench/PeerChildren.h"
#include "phone/PhoneDatagram.h"

extern char** environ;

namespace bench {
namespace {

constexpr double kPeriod = 0.047;
// One hour of voice each way: 76,596 datagrams 47 ms apart.
constexpr std::uint64_t kHourOfVoice = 76'596;

double Seconds(const char* variable, double fallback) {
    const char* text = std::getenv(variable);
    return text != nullptr ? std::atof(text) : fallback;
}

// What a finished process used, as the kernel accounts it.
struct Used {
    int exitCode = -1;
    double wall = 0;        // seconds
    double cpu = 0;         // user + system seconds
    double residentMb = 0;  // the largest resident size
};

// Starts `command`, pinned to `cpu` (taskset) when it is 0 or more, its standard output into
// `out` (created or truncated) and its standard error into `err`.
pid_t Start(std::vector<std::string> command, int cpu, const std::string& out,
            const std::string& err = "/dev/null") {
    if (cpu >= 0) {
        command.insert(command.begin(), {"/usr/bin/taskset", "-c", std::to_string(cpu)});
    }
    std::vector<char*> argv;
    for (std::string& argument : command) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw std::runtime_error("cannot start " + command.front());
    }
    return pid;
}

// taskset runs the command in its own process, so the figures are the command's.
Used Wait(pid_t pid, double started) {
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    Used used;
    used.wall = Now() - started;
    used.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    used.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    used.residentMb = static_cast<double>(usage.ru_maxrss) / 1024;
    return used;
}

Used Run(const std::vector<std::string>& command, int cpu, const std::string& out) {
    const double started = Now();
    return Wait(Start(command, cpu, out), started);
}

// The summary on the last line of a peer's --json output.
nlohmann::json SummaryIn(const std::string& path) {
    std::ifstream file(path);
    nlohmann::json summary;
    for (std::string line; std::getline(file, line);) {
        auto parsed = nlohmann::json::parse(line, nullptr, false);
        if (!parsed.is_discarded() && parsed.contains("summary")) {
            summary = parsed["summary"];
        }
    }
    return summary;
}

double FileMb(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? static_cast<double>(status.st_size) / 1e6 : NAN;
}

void WaitForSocket(std::uint16_t port) {
    const double giveUp = Now() + 10;
    while (SocketDrops(port) < 0 && Now() < giveUp) {
        ::usleep(10'000);
    }
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? NAN : values[values.size() / 2];
}

// An Ethernet frame of a UDP datagram between 192.0.2.1 and 192.0.2.2, port 20080 both.
class Frames {
  public:
    explicit Frames(const std::string& path)
        : dead_(pcap_open_dead(DLT_EN10MB, 65535)), dumper_(pcap_dump_open(dead_, path.c_str())) {
        if (dumper_ == nullptr) {
            throw std::runtime_error("cannot write " + path + ": " + pcap_geterr(dead_));
        }
    }
    ~Frames() {
        pcap_dump_close(dumper_);
        pcap_close(dead_);
    }
    std::uint64_t Written() const { return written_; }

    void Put(double t, bool fromCaller, std::span<const std::uint8_t> payload) {
        std::vector<std::uint8_t> frame(14 + 28 + payload.size(), 0);
        frame[12] = 0x08;  // IPv4
        std::uint8_t* ip = frame.data() + 14;
        const std::size_t ipLength = 28 + payload.size();
        ip[0] = 0x45;
        ip[2] = static_cast<std::uint8_t>(ipLength >> 8);
        ip[3] = static_cast<std::uint8_t>(ipLength);
        ip[8] = 64;
        ip[9] = 17;
        const std::uint8_t caller[] = {192, 0, 2, 1}, callee[] = {192, 0, 2, 2};
        std::copy_n(fromCaller ? caller : callee, 4, ip + 12);
        std::copy_n(fromCaller ? callee : caller, 4, ip + 16);
        std::uint32_t sum = 0;
        for (int i = 0; i < 20; i += 2) {
            sum += static_cast<std::uint32_t>(ip[i] << 8 | ip[i + 1]);
        }
        sum = (sum & 0xFFFF) + (sum >> 16);
        sum = ~((sum & 0xFFFF) + (sum >> 16)) & 0xFFFF;
        ip[10] = static_cast<std::uint8_t>(sum >> 8);
        ip[11] = static_cast<std::uint8_t>(sum);
        const std::size_t udpLength = 8 + payload.size();
        for (const int at : {20, 22}) {
            ip[at] = 20080 >> 8;
            ip[at + 1] = 20080 & 0xFF;
        }
        ip[24] = static_cast<std::uint8_t>(udpLength >> 8);
        ip[25] = static_cast<std::uint8_t>(udpLength);
        std::copy(payload.begin(), payload.end(), ip + 28);

        pcap_pkthdr header{};
        const auto microseconds = static_cast<std::int64_t>(std::llround(t * 1e6));
        header.ts.tv_sec = 1'800'000'000 + microseconds / 1'000'000;
        header.ts.tv_usec = microseconds % 1'000'000;
        header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, frame.data());
        ++written_;
    }

  private:
    pcap_t* dead_;
    pcap_dumper_t* dumper_;
    std::uint64_t written_ = 0;
};

// The capture tcpdump would take of a call from 192.0.2.1 to 192.0.2.2 (microsecond stamps):
// Ring, Talk, `chunks` voice datagrams each way with up to half a millisecond of jitter, and a
// few Seq events in the voice that comes back, then Disconnect. Returns the packets written.
std::uint64_t WriteCallCapture(const std::string& path, std::uint64_t chunks) {
    Frames frames(path);
    std::int32_t callerSeq = 1, calleeSeq = 1;
    double t = 0;
    const auto exchange = [&](phone::Command command) {
        std::array<std::uint8_t, phone::kRequestSize> request{};
        phone::BuildRequest(request, command, phone::TakeRequestSeq(callerSeq), 1);
        frames.Put(t, true, request);
        phone::SetStatus(request, phone::StatusAccepted);
        frames.Put(t + 0.001, false, request);
        t += 0.002;
    };
    exchange(phone::CmdRing);
    exchange(phone::CmdTalk);

    std::array<std::uint8_t, phone::kVoiceSize> voice{};
    for (std::size_t i = phone::kOffsetPayload; i < voice.size(); ++i) {
        voice[i] = static_cast<std::uint8_t>(i * 7);
    }
    std::uint64_t random = 0x9E3779B97F4A7C15u;
    const auto jitter = [&] {
        random ^= random << 13;
        random ^= random >> 7;
        random ^= random << 17;
        return static_cast<double>(random % 500) * 1e-6;
    };
    std::int32_t lastCalleeSeq = 0;
    for (std::uint64_t i = 0; i < chunks; ++i) {
        const double slot = 0.010 + static_cast<double>(i) * kPeriod;
        phone::BuildVoiceHeader(voice, phone::VoiceSeq(callerSeq), 1,
                                static_cast<std::int16_t>(phone::kVoicePayloadSize));
        phone::AdvanceVoiceSeq(callerSeq);
        frames.Put(slot + jitter(), true, voice);

        // Every 10,000th comes back twice, in place of the next (a duplicate and a gap); every
        // 10,000th plus 5,000 after the next (a reorder).
        std::int32_t seq = phone::VoiceSeq(calleeSeq);
        phone::AdvanceVoiceSeq(calleeSeq);
        if (i % 10'000 == 1 && i > 1) {
            seq = lastCalleeSeq;
        } else if (i % 10'000 == 5'000) {
            seq = phone::VoiceSeq(calleeSeq);
        } else if (i % 10'000 == 5'001) {
            seq = lastCalleeSeq - 1 == 0 ? 65535 : lastCalleeSeq - 1;
        }
        lastCalleeSeq = seq;
        phone::BuildVoiceHeader(voice, static_cast<std::uint16_t>(seq), 1,
                                static_cast<std::int16_t>(phone::kVoicePayloadSize));
        frames.Put(slot + 0.020 + jitter(), false, voice);
    }
    t = 0.010 + static_cast<double>(chunks) * kPeriod;
    exchange(phone::CmdDisconnect);
    return frames.Written();
}

}  // namespace

int PeerReportCapture(const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        throw std::runtime_error("usage: peer-report-capture PEER");
    }
    const std::string& peer = arguments[0];
    const std::string folder = ExecutableDirectoryPath();
    const std::string capture = folder + "/hour-call.pcap";
    const std::string html = folder + "/hour-call.html";
    const std::uint64_t packets = WriteCallCapture(capture, kHourOfVoice);

    // Turn about, three times each, so that what else the machine does falls on both alike.
    std::vector<double> reportSeconds, tsharkSeconds, tsharkQuietSeconds;
    Used report;
    for (int round = 0; round < 3; ++round) {
        report = Run({peer, "report", capture, "-o", html, "--json"}, 0, folder + "/report.out");
        reportSeconds.push_back(report.wall);
        tsharkSeconds.push_back(Run({"/usr/bin/tshark", "-n", "-r", capture}, 0, "/dev/null").wall);
        tsharkQuietSeconds.push_back(
            Run({"/usr/bin/tshark", "-n", "-q", "-r", capture}, 0, "/dev/null").wall);
    }
    const nlohmann::json summary = SummaryIn(folder + "/report.out");
    const double seconds = Median(reportSeconds);
    // The quicker of tshark's two ways of only reading the file: the stricter baseline.
    const double tshark = std::min(Median(tsharkSeconds), Median(tsharkQuietSeconds));
    const double size = FileMb(html);
    const std::string scope = " (" + Format(static_cast<double>(packets), 0) + " packets, " +
                              Format(FileMb(capture), 1) + " MB, " +
                              Format(Get(summary["voice_received"]), 0) + " voice datagrams in)";
    Row("8 Peer report: report -o on a one-hour call capture, median of 3" + scope,
        Format(seconds, 2) + " s (exit " + std::to_string(report.exitCode) + ", peak resident " +
            Format(report.residentMb, 1) + " MB)",
        "<= 2 s and <= 2 x tshark -r",
        "tshark -n -r " + Format(Median(tsharkSeconds), 2) + " s, with -q " +
            Format(Median(tsharkQuietSeconds), 2) + " s",
        Verdict(report.exitCode == 0 && seconds <= 2 && seconds <= 2 * tshark));
    Row("8 Peer report: size of that report", Format(size, 2) + " MB", "<= 4 MB", "",
        Verdict(size <= 4));
    return 0;
}

int PeerReportLoad(const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        throw std::runtime_error("usage: peer-report-load PEER");
    }
    const std::string& peer = arguments[0];
    const double seconds = Seconds("BENCH_REPORT_LOAD_SECONDS", 60);
    const std::string folder = ExecutableDirectoryPath();
    const std::string html = folder + "/load.html";
    struct Step {
        Used load;
        nlohmann::json summary;
    };
    const auto step = [&](bool withReport) {
        const double started = Now();
        const pid_t responder =
            Start({peer, "answer", "--bind", "127.0.0.2", "--local-port", "21920",
                   "--reply-to-sender", "--quiet", "--json", "--receive-buffer", "4194304"},
                  1, "/dev/null");
        WaitForSocket(21920);
        std::vector<std::string> command = {peer,
                                            "load",
                                            "127.0.0.2:21920",
                                            "--bind",
                                            "127.0.0.3",
                                            "--local-port",
                                            "21921",
                                            "--kind",
                                            "ring",
                                            "--rate",
                                            "100000",
                                            "--duration",
                                            std::to_string(seconds),
                                            "--quiet",
                                            "--json",
                                            "--receive-buffer",
                                            "4194304",
                                            "--timeout",
                                            "2000"};
        if (withReport) {
            command.insert(command.end(), {"--report", html});
        }
        Step result{Run(command, 0, folder + "/load.out"), {}};
        result.summary = SummaryIn(folder + "/load.out");
        ::kill(responder, SIGINT);
        Wait(responder, started);
        return result;
    };
    const Step plain = step(false);
    const Step drawn = step(true);
    const nlohmann::json& load = drawn.summary["load"];
    const bool all =
        drawn.load.exitCode == 0 && load["answered"] == load["sent"] && Get(load["sent"], 0) > 0;
    Row("8 Peer report: load --report, Ring requests at 100,000/s for " + Format(seconds, 0) +
            " s against answer --reply-to-sender",
        Format(Get(load["answered_percent"], 0), 3) + " % answered at " +
            Format(Get(load["achieved_rate"], 0), 0) + "/s",
        "100 %", "", Verdict(all));
    Row("8 Peer report: the loader's peak resident memory with --report",
        Format(drawn.load.residentMb, 1) + " MB", "< 64 MB",
        Format(plain.load.residentMb, 1) + " MB without --report (" +
            Format(Get(plain.summary["load"]["answered_percent"], 0), 3) + " % answered)",
        Verdict(drawn.load.residentMb < 64));
    const double size = FileMb(html);
    Row("8 Peer report: size of the load's report", Format(size * 1000, 1) + " KB", "<= 2 MB", "",
        Verdict(size <= 2));
    return 0;
}

int PeerReportCpu(const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        throw std::runtime_error("usage: peer-report-cpu PEER");
    }
    const std::string& peer = arguments[0];
    const double seconds = Seconds("BENCH_REPORT_CALL_SECONDS", 600);
    const std::string folder = ExecutableDirectoryPath();
    const std::string voice = folder + "/report-call-voice";
    const std::string html = folder + "/call.html";
    WriteChunkFile(voice, static_cast<std::uint64_t>(std::ceil((seconds + 5) / kPeriod)));
    // The caller on core 0 with voice both ways; the answering end on core 1.
    const auto call = [&](bool withReport) {
        const double started = Now();
        const pid_t answer =
            Start({peer, "answer", "--bind", "127.0.0.2", "--local-port", "21930", "--peer-port",
                   "21931", "--play", voice, "--until", "disconnect", "--quiet", "--json"},
                  1, "/dev/null");
        WaitForSocket(21930);
        std::vector<std::string> command = {peer,
                                            "call",
                                            "127.0.0.2:21930",
                                            "--bind",
                                            "127.0.0.3",
                                            "--local-port",
                                            "21931",
                                            "--play",
                                            voice,
                                            "--talk-seconds",
                                            std::to_string(seconds),
                                            "--quiet",
                                            "--json",
                                            "--timeout",
                                            "5000"};
        if (withReport) {
            command.insert(command.end(), {"--report", html});
        }
        const Used used = Run(command, 0, folder + "/call.out");
        const nlohmann::json summary = SummaryIn(folder + "/call.out");
        Wait(answer, started);
        if (used.exitCode != 0 || Get(summary["voice_received"], 0) == 0) {
            throw std::runtime_error("the call failed (exit " + std::to_string(used.exitCode) +
                                     ")");
        }
        return used.cpu;
    };
    const double plain = call(false);
    const double drawn = call(true);
    const double added = (drawn / plain - 1) * 100;
    Row("8 Peer report: processor time of the caller in a " + Format(seconds, 0) +
            " s call with voice both ways, with --report (one run each)",
        Format(drawn, 3) + " s (" + (added >= 0 ? "+" : "") + Format(added, 2) + " %; page " +
            Format(FileMb(html) * 1000, 0) + " KB)",
        "(reported: runs differ by up to 15 %)", Format(plain, 3) + " s without --report", "-");

    // What --report adds is its collector on every datagram and the page at the end: the same
    // work that -o adds to reading a capture of such a call, which takes a fraction of a second
    // and so can be timed often, in turn, without a call's wake-ups around it.
    const std::string capture = folder + "/call.pcap";
    WriteCallCapture(capture, static_cast<std::uint64_t>(std::llround(seconds / kPeriod)));
    std::vector<double> read, drawnToo;
    for (int round = 0; round < 11; ++round) {
        read.push_back(Run({peer, "report", capture, "--json"}, 0, "/dev/null").cpu);
        drawnToo.push_back(
            Run({peer, "report", capture, "-o", folder + "/capture.html", "--json"}, 0, "/dev/null")
                .cpu);
    }
    const double cost = Median(drawnToo) - Median(read);
    const double share = cost / plain * 100;
    Row("8 Peer report: processor time --report adds to that call: what -o adds to report on a "
        "capture of it (median of 11 each), against the call's own",
        Format(cost * 1000, 1) + " ms = " + Format(share, 2) + " %", "<= 1 %",
        "report " + Format(Median(read) * 1000, 1) + " ms, with -o " +
            Format(Median(drawnToo) * 1000, 1) + " ms",
        Verdict(share <= 1));
    return 0;
}

}  // namespace bench
