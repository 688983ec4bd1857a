// Voice pacing: the window streams a large outgoing file to a loopback peer while talking; the
// peer timestamps every voice datagram as the kernel hands it over.

#include <sys/socket.h>
#include <unistd.h>

#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <cmath>
#include <ctime>
#include <fstream>
#include <iostream>
#include <thread>

#include "app/MainForm.h"
#include "bench/BenchDatagrams.h"
#include "bench/BenchFiles.h"
#include "bench/BenchSupport.h"
#include "bench/Benchmarks.h"

namespace bench {
namespace {

constexpr double kNominalSpacing = 0.047;
constexpr double kNominalRate = phone::kVoicePayloadSize / kNominalSpacing;  // 8,510.6 bytes/s

struct Arrival {
    double at = 0;  // kernel receive time, seconds
    std::uint64_t chunk = 0;
    bool intact = false;
};

// Blocks for the next voice datagram; false after a quiet `timeout`.
bool ReceiveVoice(int fd, Arrival& arrival) {
    std::uint8_t buffer[2048];
    char control[256];
    iovec vector{buffer, sizeof buffer};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t count = ::recvmsg(fd, &message, 0);
    if (count < 0) {
        return false;
    }
    arrival = {};
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMPNS) {
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
            arrival.at =
                static_cast<double>(stamp.tv_sec) + static_cast<double>(stamp.tv_nsec) * 1e-9;
        }
    }
    const bool voice = count == static_cast<ssize_t>(phone::kVoiceSize) &&
                       phone::ReadHeader({buffer, phone::kVoiceSize}).Command == phone::CmdVoice;
    if (!voice) {
        arrival.chunk = UINT64_MAX;  // the Talk request, not voice
        return true;
    }
    const std::uint8_t* chunk = buffer + phone::kOffsetPayload;
    arrival.chunk = ChunkIndex(chunk);
    arrival.intact =
        ChunkIs(chunk, arrival.chunk) && phone::ReadHeader({buffer, phone::kVoiceSize}).Length ==
                                             static_cast<std::int16_t>(phone::kVoicePayloadSize);
    return true;
}

}  // namespace

int VoicePacingStep(const std::vector<std::string>& arguments) {
    const double seconds = arguments.empty() ? 35 : std::stod(arguments[0]);
    const std::string directory = ExecutableDirectoryPath();
    WriteChunkFile(directory + "/send.au",
                   static_cast<std::uint64_t>(std::ceil((seconds + 20) / kNominalSpacing)));
    TruncateFile(directory + "/recv.au");

    OffscreenApplication application;
    const int peer = LoopbackSocket("127.0.0.2", 0, 16 << 20);
    int on = 1;
    ::setsockopt(peer, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    timeval quiet{0, 200'000};
    ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);

    auto window = std::make_unique<TForm1>(BenchForm1("127.0.0.2", LocalPort(peer)));
    window->show();
    TickObserver ticks;

    std::vector<Arrival> arrivals;
    arrivals.reserve(static_cast<std::size_t>(seconds / kNominalSpacing) + 100);
    std::atomic<bool> done{false};
    std::atomic<double> firstVoice{-1};
    std::thread peerThread([&] {
        BecomePeerThread();
        const double giveUp = Now() + 10;
        for (;;) {
            Arrival arrival;
            const bool received = ReceiveVoice(peer, arrival);
            const double now = Now();
            if (received && arrival.chunk != UINT64_MAX) {
                if (firstVoice < 0) {
                    firstVoice = now;
                }
                arrivals.push_back(arrival);
            }
            if ((firstVoice >= 0 && now - firstVoice >= seconds) ||
                (firstVoice < 0 && now > giveUp)) {
                break;
            }
        }
        done = true;
    });
    QTimer::singleShot(500, [&] {
        window->bOpen->click();
        window->bTalk->click();
    });
    RunUntil([&] { return done.load(); });
    peerThread.join();
    const double streamEnd = Now();

    std::vector<double> spacings;
    std::uint64_t outOfOrder = 0;
    std::uint64_t damaged = 0;
    for (std::size_t i = 0; i < arrivals.size(); ++i) {
        if (!arrivals[i].intact) {
            ++damaged;
        }
        if (arrivals[i].chunk != i) {
            ++outOfOrder;
        }
        if (i > 0) {
            spacings.push_back((arrivals[i].at - arrivals[i - 1].at) * 1000);
        }
    }
    const double span = arrivals.size() > 1 ? arrivals.back().at - arrivals.front().at : NAN;
    const double rate =
        static_cast<double>((arrivals.size() - 1) * phone::kVoicePayloadSize) / span;
    Put("datagrams", static_cast<double>(arrivals.size()));
    Put("span_s", span);
    Put("rate_bytes_per_s", rate);
    Put("rate_percent", rate / kNominalRate * 100);
    Put("median_ms", Percentile(spacings, 0.5));
    Put("p99_ms", Percentile(spacings, 0.99));
    Put("max_ms", spacings.empty() ? NAN : *std::max_element(spacings.begin(), spacings.end()));
    Put("min_ms", spacings.empty() ? NAN : *std::min_element(spacings.begin(), spacings.end()));
    Put("out_of_order", static_cast<double>(outOfOrder));
    Put("damaged", static_cast<double>(damaged));
    Put("tick_max_gap_ms", ticks.LargestGap(firstVoice, streamEnd) * 1000);
    Put("boxes", application.BoxesShown());
    ::close(peer);
    return 0;
}

int VoicePacing(const std::vector<std::string>& arguments) {
    const double seconds = arguments.empty() ? 35 : std::stod(arguments[0]);
    std::cerr << "voice pacing: streaming for " << seconds << " s\n";
    auto r = RunChild({"voice-pacing-step", std::to_string(seconds)});
    const double percent = Number(r, "rate_percent", NAN);
    const double median = Number(r, "median_ms", NAN);
    const double p99 = Number(r, "p99_ms", NAN);
    const double largest = Number(r, "max_ms", NAN);
    const double smallest = Number(r, "min_ms", NAN);
    const bool intact =
        Number(r, "out_of_order") == 0 && Number(r, "damaged") == 0 && Number(r, "boxes") == 0;
    const std::string sample = Format(Number(r, "datagrams"), 0) + " datagrams over " +
                               Format(Number(r, "span_s"), 1) + " s" +
                               (intact ? ", in file order" : ", NOT in file order or damaged");
    Row("1 Voice: achieved rate (" + sample + ")",
        Format(Number(r, "rate_bytes_per_s", NAN), 0) + " B/s = " + Format(percent, 2) + " %",
        ">= 99 % of 8,510 B/s", "", Verdict(percent >= 99 && intact));
    Row("1 Voice: median spacing at the peer", Format(median, 2) + " ms", "47 +- 1 ms", "",
        Verdict(std::fabs(median - 47) <= 1));
    Row("1 Voice: 99th percentile spacing", Format(p99, 2) + " ms", "<= 52 ms", "",
        Verdict(p99 <= 52));
    Row("1 Voice: largest spacing", Format(largest, 2) + " ms", "(reported)", "", "-");
    Row("1 Voice: smallest spacing", Format(smallest, 2) + " ms", ">= 20 ms", "",
        Verdict(smallest >= 20));
    return 0;
}

}  // namespace bench
