// Request flood: a loopback peer sends 12-byte Ring requests at rising rates, each rate to a
// fresh program; every request must be answered (the peer counts the replies in order) and
// logged in Memo1 (its "Read: " line, with the request's own Seq and Target, in order). Once
// Memo1 is full its further lines are refused by design, so a request is logged when its line is
// there or the memo had no room left for it. A second run floods one program well past full.
// The baseline answers with a plain recvfrom/sendto loop and keeps the same lines in a vector.

#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextDocument>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <thread>

#include "app/Controls.h"
#include "app/MainForm.h"
#include "bench/BenchDatagrams.h"
#include "bench/BenchSupport.h"
#include "bench/Benchmarks.h"
#include "net/NMUDP.h"

namespace bench {
namespace {

// "Read: 12" and twelve bytes of three characters, and the line break.
constexpr int kReadLineCharacters = 45;

// The peer: sends requests from its own thread on core 1 and counts the replies, in order,
// between sends.
class FloodingPeer {
  public:
    explicit FloodingPeer(int receiveBuffer) : fd_(LoopbackSocket("127.0.0.2", 0, receiveBuffer)) {}
    ~FloodingPeer() {
        if (thread_.joinable()) {
            stop_ = true;
            thread_.join();
        }
        ::close(fd_);
    }
    std::uint16_t Port() const { return LocalPort(fd_); }

    void Start(std::uint16_t windowPort, std::uint64_t count, double rate) {
        thread_ = std::thread([=, this] {
            BecomePeerThread();
            auto drain = [this] { Drain(); };
            sending_ = SendPaced(
                fd_, LoopbackAddress("127.0.0.1", windowPort), count, rate, phone::kRequestSize,
                [](std::uint8_t* datagram, std::uint64_t i) {
                    FillRequest(datagram, i, phone::CmdRing);
                },
                drain, &stop_);
            sendingEnded_ = Now();
            // Replies still under way: until all are in, or none came for a second.
            double lastReply = Now();
            std::uint64_t seen = replies_;
            while (replies_ < sending_.sent && Now() - lastReply < 1.0) {
                Drain();
                if (replies_ != seen) {
                    seen = replies_;
                    lastReply = Now();
                } else {
                    ::usleep(1000);
                }
            }
            finished_ = true;
        });
    }
    void Stop() { stop_ = true; }
    void Join() { thread_.join(); }

    bool Finished() const { return finished_; }
    const PacedSending& Sending() const { return sending_; }
    double SendingEnded() const { return sendingEnded_; }
    std::uint64_t Replies() const { return replies_; }
    std::uint64_t Accepted() const { return accepted_; }
    std::uint64_t RepliesOutOfOrder() const { return outOfOrder_; }

  private:
    void Drain() {
        std::uint8_t reply[64];
        for (ssize_t n; (n = ::recv(fd_, reply, sizeof reply, MSG_DONTWAIT)) > 0;) {
            if (n != static_cast<ssize_t>(phone::kRequestSize)) {
                continue;
            }
            if (RequestIndex(reply) != (replies_ & 0x7FFFFFFF)) {
                ++outOfOrder_;
            }
            if (phone::ReadHeader({reply, phone::kRequestSize}).Status == phone::StatusAccepted) {
                ++accepted_;
            }
            ++replies_;
        }
    }

    int fd_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    PacedSending sending_;
    double sendingEnded_ = 0;
    std::atomic<std::uint64_t> replies_{0};
    std::uint64_t accepted_ = 0;
    std::uint64_t outOfOrder_ = 0;
};

struct MemoLog {
    std::uint64_t readLines = 0;
    bool inOrder = true;  // the Read lines are requests readLines-1 .. 0 from the top
    bool full = false;    // no room for another Read line
    std::int64_t characters = 0;
    int lines = 0;
};

MemoLog ReadMemo(const QPlainTextEdit* memo) {
    MemoLog log;
    const QTextDocument* document = memo->document();
    std::vector<std::uint64_t> indices;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        const QString text = block.text();
        if (!text.startsWith(QLatin1String("Read: "))) {
            continue;
        }
        // "Read: 12 7A 65 6C 6B S0 S1 T0 T1 ..."
        const QStringList bytes = text.mid(9).split(QLatin1Char(' '));
        if (bytes.size() < 12) {
            log.inOrder = false;
            continue;
        }
        std::uint8_t datagram[phone::kRequestSize];
        for (int i = 0; i < 12; ++i) {
            datagram[i] = static_cast<std::uint8_t>(bytes[i].toUInt(nullptr, 16));
        }
        indices.push_back(RequestIndex(datagram));
    }
    log.readLines = indices.size();
    for (std::size_t k = 0; k < indices.size(); ++k) {
        if (indices[k] != indices.size() - 1 - k) {
            log.inOrder = false;
        }
    }
    log.characters = document->characterCount() - 1;
    log.lines = document->blockCount();
    log.full = log.characters + kReadLineCharacters > controls::kMemoMaxCharacters;
    return log;
}

// Allocated bytes, including the large blocks that malloc maps separately.
std::int64_t HeapInUse() {
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<std::int64_t>(info.uordblks + info.hblkhd);
}

void Settle(double seconds) {
    const double until = Now() + seconds;
    RunUntil([&] { return Now() >= until; });
}

// A fresh window on screen with its flooding peer, settled before the flood begins.
struct FloodedWindow {
    FloodedWindow() {
        window->show();
        Settle(0.5);
    }
    OffscreenApplication application;
    FloodingPeer peer{64 << 20};
    std::unique_ptr<TForm1> window = std::make_unique<TForm1>(BenchForm1("127.0.0.2", peer.Port()));
    TickObserver ticks;
};

}  // namespace

int FloodStep(const std::vector<std::string>& arguments) {
    const double rate = std::stod(arguments.at(0));
    const double seconds = std::stod(arguments.at(1));
    const auto count = static_cast<std::uint64_t>(std::llround(rate * seconds));

    FloodedWindow flooded;
    FloodingPeer& peer = flooded.peer;
    const std::unique_ptr<TForm1>& window = flooded.window;
    const TickObserver& ticks = flooded.ticks;

    const std::uint16_t port = window->UDPSock->BoundPort();
    const MemoLog before = ReadMemo(window->Memo1);
    const std::int64_t rssBefore = ResidentBytes();
    const std::int64_t heapBefore = HeapInUse();
    const double cpuBefore = ThreadCpuSeconds(pthread_self());
    const double waitBefore = ThreadWaitSeconds();
    const double start = Now();
    peer.Start(port, count, rate);
    RunUntil([&] { return peer.Finished(); }, 50);
    const double end = Now();
    const double cpu = ThreadCpuSeconds(pthread_self()) - cpuBefore;
    const double waited = ThreadWaitSeconds() - waitBefore;
    peer.Join();
    const std::int64_t rssAfter = ResidentBytes();
    const std::int64_t heapAfter = HeapInUse();
    const MemoLog after = ReadMemo(window->Memo1);

    const double linesAdded = after.lines - before.lines;
    Put("sent", static_cast<double>(peer.Sending().sent));
    Put("send_rate", peer.Sending().Rate());
    Put("replies", static_cast<double>(peer.Replies()));
    Put("accepted", static_cast<double>(peer.Accepted()));
    Put("replies_out_of_order", static_cast<double>(peer.RepliesOutOfOrder()));
    Put("drops", static_cast<double>(SocketDrops(port)));
    Put("read_lines", static_cast<double>(after.readLines));
    Put("log_in_order", after.inOrder ? 1 : 0);
    Put("memo_full", after.full ? 1 : 0);
    Put("memo_characters", static_cast<double>(after.characters));
    Put("lines_added", linesAdded);
    Put("characters_per_line",
        static_cast<double>(after.characters - before.characters) / linesAdded);
    Put("rss_per_line", static_cast<double>(rssAfter - rssBefore) / linesAdded);
    Put("heap_per_line", static_cast<double>(heapAfter - heapBefore) / linesAdded);
    Put("tick_max_gap_ms", ticks.LargestGap(start, end) * 1000);
    Put("gui_cpu_percent", cpu / (end - start) * 100);
    Put("gui_wait_percent", waited / (end - start) * 100);
    Put("gui_us_per_request", cpu / static_cast<double>(peer.Replies()) * 1e6);
    int receiveBuffer = 0;
    socklen_t length = sizeof receiveBuffer;
    ::getsockopt(window->UDPSock->SocketHandle(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, &length);
    Put("receive_buffer", receiveBuffer);
    Put("boxes", flooded.application.BoxesShown());
    return 0;
}

int MemoFullStep(const std::vector<std::string>& arguments) {
    const double rate = std::stod(arguments.at(0));
    const double afterFull = std::stod(arguments.at(1));

    FloodedWindow flooded;
    FloodingPeer& peer = flooded.peer;
    const std::unique_ptr<TForm1>& window = flooded.window;
    const TickObserver& ticks = flooded.ticks;

    const std::int64_t rssStart = ResidentBytes();
    const std::int64_t heapStart = HeapInUse();
    const double start = Now();
    peer.Start(window->UDPSock->BoundPort(), static_cast<std::uint64_t>(rate * 3600), rate);
    double fullAt = -1;
    std::int64_t rssAtFull = 0;
    std::int64_t heapAtFull = 0;
    std::int64_t rssLargestAfter = 0;
    std::int64_t rssLast = 0;
    std::int64_t heapLast = 0;
    int linesAtFull = 0;
    RunUntil(
        [&] {
            const double now = Now();
            if (fullAt < 0) {
                // Cheap enough to ask four times a second without disturbing the window.
                const QTextDocument* document = window->Memo1->document();
                if (document->characterCount() - 1 + kReadLineCharacters >
                    controls::kMemoMaxCharacters) {
                    fullAt = now;
                    rssAtFull = ResidentBytes();
                    heapAtFull = HeapInUse();
                    linesAtFull = document->blockCount();
                } else if (now - start > 300) {
                    peer.Stop();
                }
            } else {
                rssLast = ResidentBytes();
                heapLast = HeapInUse();
                rssLargestAfter = std::max(rssLargestAfter, rssLast);
                if (now - fullAt >= afterFull) {
                    peer.Stop();
                }
            }
            return peer.Finished();
        },
        250);
    const double end = Now();
    peer.Join();

    Put("seconds_to_full", fullAt < 0 ? NAN : fullAt - start);
    Put("lines_at_full", linesAtFull);
    Put("rss_start", static_cast<double>(rssStart));
    Put("rss_at_full", static_cast<double>(rssAtFull));
    Put("rss_largest_after", static_cast<double>(rssLargestAfter));
    Put("rss_end", static_cast<double>(rssLast));
    Put("heap_per_line_at_full", static_cast<double>(heapAtFull - heapStart) / linesAtFull);
    Put("heap_growth_after_full", static_cast<double>(heapLast - heapAtFull));
    Put("requests", static_cast<double>(peer.Sending().sent));
    Put("replies", static_cast<double>(peer.Replies()));
    Put("send_rate", peer.Sending().Rate());
    Put("tick_max_gap_ms", ticks.LargestGap(start, end) * 1000);
    Put("boxes", flooded.application.BoxesShown());
    return 0;
}

int FloodBaselineStep(const std::vector<std::string>& arguments) {
    const double rate = std::stod(arguments.at(0));
    const double seconds = std::stod(arguments.at(1));
    const int receiveBuffer = std::stoi(arguments.at(2));
    const auto count = static_cast<std::uint64_t>(std::llround(rate * seconds));

    PinThisThread(0);
    FloodingPeer peer(64 << 20);
    const int socket = LoopbackSocket("127.0.0.1", 0, 0);
    int asked = receiveBuffer / 2;
    ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked);
    timeval quiet{0, 100'000};
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);
    const std::uint16_t port = LocalPort(socket);
    const sockaddr_in replyTo = LoopbackAddress("127.0.0.2", peer.Port());

    std::vector<std::string> log;
    std::size_t logged = 0;
    auto keep = [&](std::string line) {
        if (logged + line.size() + 1 <= static_cast<std::size_t>(controls::kMemoMaxCharacters)) {
            logged += line.size() + 1;
            log.push_back(std::move(line));
        }
    };
    peer.Start(port, count, rate);
    std::uint8_t buffer[2048];
    while (!peer.Finished()) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = ::recvfrom(socket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                               &fromLength);
        if (n != static_cast<ssize_t>(phone::kRequestSize) || buffer[0] != 'z') {
            continue;
        }
        const phone::PhoneDatagram request = phone::ReadHeader({buffer, phone::kRequestSize});
        phone::SetStatus({buffer, phone::kRequestSize}, phone::StatusAccepted);
        ::sendto(socket, buffer, phone::kRequestSize, 0,
                 reinterpret_cast<const sockaddr*>(&replyTo), sizeof replyTo);
        char line[128];
        std::snprintf(line, sizeof line, "Dial: %d", request.Target);
        keep(line);
        std::snprintf(line, sizeof line, "Send: %02X %02X", request.Target, request.Command);
        keep(line);
        int length = std::snprintf(line, sizeof line, "Read: %d", static_cast<int>(n));
        for (std::size_t i = 0; i < phone::kRequestSize; ++i) {
            length += std::snprintf(line + length, sizeof line - static_cast<std::size_t>(length),
                                    " %02X", buffer[i]);
        }
        keep(line);
    }
    peer.Join();
    Put("sent", static_cast<double>(peer.Sending().sent));
    Put("send_rate", peer.Sending().Rate());
    Put("replies", static_cast<double>(peer.Replies()));
    Put("accepted", static_cast<double>(peer.Accepted()));
    Put("replies_out_of_order", static_cast<double>(peer.RepliesOutOfOrder()));
    Put("drops", static_cast<double>(SocketDrops(port)));
    Put("log_in_order", 1);
    Put("read_lines", static_cast<double>(log.size() / 3));
    Put("memo_full",
        logged + kReadLineCharacters > static_cast<std::size_t>(controls::kMemoMaxCharacters) ? 1
                                                                                              : 0);
    ::close(socket);
    return 0;
}

namespace {

StepOutcome JudgeFloodStep(const char* who, double rate,
                           const std::map<std::string, std::string>& r) {
    const double sent = Number(r, "sent");
    const double replies = Number(r, "replies");
    const double drops = Number(r, "drops");
    const double readLines = Number(r, "read_lines");
    const bool logged =
        Number(r, "log_in_order") == 1 && (readLines == sent || Number(r, "memo_full") == 1);
    StepOutcome outcome;
    outcome.senderLimited = Number(r, "send_rate") < 0.97 * rate;
    outcome.passed = !outcome.senderLimited && Number(r, "exit_status") == 0 && sent > 0 &&
                     replies == sent && Number(r, "accepted") == sent &&
                     Number(r, "replies_out_of_order") == 0 && drops == 0 && logged &&
                     Number(r, "boxes", 0) == 0;
    outcome.note = "sent " + Format(sent, 0) + ", answered " + Format(replies, 0) +
                   ", socket drops " + Format(drops, 0) + ", logged " + Format(readLines, 0) +
                   (Number(r, "memo_full") == 1 ? " (memo full)" : "") +
                   (logged ? "" : " NOT ALL LOGGED");
    if (r.count("tick_max_gap_ms") != 0) {
        outcome.note += ", largest tick gap " + Format(Number(r, "tick_max_gap_ms"), 1) + " ms";
    }
    if (r.count("gui_wait_percent") != 0) {
        outcome.note += "; the GUI thread was busy " + Format(Number(r, "gui_cpu_percent"), 0) +
                        " % and waited for a processor " +
                        Format(Number(r, "gui_wait_percent"), 1) + " % of the time";
    }
    std::cerr << "  " << who << " " << Format(rate, 0) << "/s: " << outcome.note;
    std::cerr << (outcome.passed          ? "  -> all answered and logged"
                  : outcome.senderLimited ? "  -> sender limit"
                                          : "  -> LOSS")
              << '\n';
    return outcome;
}

}  // namespace

int RequestFlood(const std::vector<std::string>& /*arguments*/) {
    const double seconds = StepSeconds();
    const std::vector<double> rates = {2e3,  5e3,  10e3, 15e3,  20e3,  25e3,  30e3, 40e3,
                                       50e3, 60e3, 80e3, 100e3, 120e3, 150e3, 200e3};
    std::cerr << "request flood: one fresh program per rate, " << seconds << " s per rate\n";
    std::map<double, std::map<std::string, std::string>> steps;
    int receiveBuffer = 0;
    RateSearch program = SearchRates(rates, [&](double rate) {
        auto r = RunChild({"flood-step", std::to_string(rate), std::to_string(seconds)});
        steps[rate] = r;
        receiveBuffer = static_cast<int>(Number(r, "receive_buffer", 0));
        return JudgeFloodStep("window", rate, r);
    });
    std::cerr << "request flood: plain recvfrom/sendto loop\n";
    std::vector<double> baselineRates = rates;
    for (double rate : {250e3, 300e3, 400e3, 500e3}) {
        baselineRates.push_back(rate);
    }
    RateSearch baseline = SearchRates(baselineRates, [&](double rate) {
        auto r = RunChild({"flood-baseline-step", std::to_string(rate), std::to_string(seconds),
                           std::to_string(receiveBuffer)});
        return JudgeFloodStep("baseline", rate, r);
    });

    const std::string baselineText = (baseline.senderLimited ? ">= " : "") +
                                     Format(baseline.highestPassed, 0) + "/s" +
                                     (baseline.senderLimited ? " (the sender's limit)" : "");
    Row("3 Flood: highest rate with every Ring answered and logged (10 s, fresh program each)",
        Format(program.highestPassed, 0) + "/s", ">= 10,000/s", baselineText,
        Verdict(program.highestPassed >= 10e3));

    // Tick gaps: in every step up to the highest that passed.
    double largestGap = 0;
    for (const auto& [rate, r] : steps) {
        if (rate <= program.highestPassed) {
            largestGap = std::max(largestGap, Number(r, "tick_max_gap_ms"));
        }
    }
    Row("3 Flood: largest tick gap, every rate up to " + Format(program.highestPassed, 0) + "/s",
        Format(largestGap, 1) + " ms", "<= 100 ms", "", Verdict(largestGap <= 100));
    if (program.firstFailed > 0 && steps.count(program.firstFailed) != 0) {
        Row("3 Flood: at " + Format(program.firstFailed, 0) + "/s", program.failedNote,
            "(first rate with a loss)", "", "-");
    }
    if (steps.count(program.highestPassed) != 0) {
        Row("3 Flood: GUI thread time per Ring request (3 lines logged) at " +
                Format(program.highestPassed, 0) + "/s",
            Format(Number(steps[program.highestPassed], "gui_us_per_request", NAN), 0) + " us",
            "(explains the rate)", "", "-");
    }

    // Memory per line: from the step at 10,000/s (or the highest that passed below it), whose
    // memo holds the most lines of a passing run.
    std::cerr << "request flood: one program flooded past a full Memo1\n";
    const double memoRate = std::min(10e3, std::max(program.highestPassed, 2e3));
    auto full = RunChild({"memo-full-step", std::to_string(memoRate), "30"});
    const double perLine = Number(full, "heap_per_line_at_full", NAN);
    auto step = steps.count(memoRate) != 0 ? steps[memoRate] : std::map<std::string, std::string>{};
    const double rssPerLine = Number(step, "rss_per_line", NAN);
    const double charactersPerLine = Number(step, "characters_per_line", NAN);
    Row("3 Flood: memory per logged line beyond its text (resident, " +
            Format(charactersPerLine, 1) + " characters a line)",
        Format(rssPerLine - charactersPerLine, 0) + " B", "< 200 B", "",
        Verdict(rssPerLine - charactersPerLine < 200));
    Row("3 Flood: heap per line until Memo1 is full (" + Format(Number(full, "lines_at_full"), 0) +
            " lines)",
        Format(perLine - charactersPerLine, 0) + " B beyond the text", "(reported)", "", "-");
    const double growth = Number(full, "rss_largest_after", NAN) - Number(full, "rss_at_full", NAN);
    Row("3 Flood: resident memory once Memo1 is full, then 30 s more at " + Format(memoRate, 0) +
            "/s",
        Format(Number(full, "rss_at_full") / 1048576, 1) + " MB, then at most +" +
            Format(growth / 1024, 0) + " KB",
        "flat", "", Verdict(growth <= 1 << 20));
    return 0;
}

}  // namespace bench
