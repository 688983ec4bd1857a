// udpphone_bench: the benchmarks of the program's timing, capacity and memory, run on the real
// main window with the offscreen platform and real UDP on loopback. Run it through bench.sh,
// which builds it and gives it a private network namespace.

#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench/Benchmarks.h"

int main(int argc, char** argv) {
    using Entry = std::function<int(const std::vector<std::string>&)>;
    const std::map<std::string, Entry> entries = {
        {"voice-pacing", bench::VoicePacing},
        {"voice-pacing-step", bench::VoicePacingStep},
        {"receive-capacity", bench::ReceiveCapacity},
        {"receive-step", bench::ReceiveStep},
        {"receive-baseline-step", bench::ReceiveBaselineStep},
        {"request-flood", bench::RequestFlood},
        {"flood-step", bench::FloodStep},
        {"flood-baseline-step", bench::FloodBaselineStep},
        {"memo-full-step", bench::MemoFullStep},
        {"talk-flood-step", bench::TalkFloodStep},
        {"ring-profile", bench::RingProfile},
        {"lookup-wait", bench::LookupWait},
        {"lookup-wait-step", bench::LookupWaitStep},
        {"peer-pacing", bench::PeerPacing},
        {"peer-load", bench::PeerLoad},
        {"peer-calls", bench::PeerCalls},
        {"peer-report-capture", bench::PeerReportCapture},
        {"peer-report-load", bench::PeerReportLoad},
        {"peer-report-cpu", bench::PeerReportCpu},
    };
    if (argc < 2 || entries.count(argv[1]) == 0) {
        std::fprintf(stderr, "usage: %s BENCHMARK [ARGUMENT...]\nbenchmarks:", argv[0]);
        for (const auto& entry : entries) {
            if (entry.first.find("-step") == std::string::npos) {
                std::fprintf(stderr, " %s", entry.first.c_str());
            }
        }
        std::fprintf(stderr, "\n");
        return 2;
    }
    try {
        return entries.at(argv[1])(std::vector<std::string>(argv + 2, argv + argc));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", argv[1], error.what());
        return 1;
    }
}
