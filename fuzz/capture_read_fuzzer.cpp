// Any bytes as a capture file for udpphone-peer report, read as the command reads it (a path,
// opened twice): it is refused as unreadable, or read to its end or to the damage it holds.
// Either way every packet read lands in exactly one count, and every datagram of a reported
// conversation reaches its figures exactly once.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "peer/PeerError.h"
#include "peer/capture/CaptureReading.h"

namespace {

void Fail(const std::string& what, const nlohmann::ordered_json& figures) {
    std::fprintf(stderr, "%s: %s\n", what.c_str(), figures.dump().c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int fd = ::memfd_create("capture", MFD_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    try {
        peer::CaptureReading reading(path, {}, nullptr);
        reading.Survey();
        reading.Replay();
        const nlohmann::ordered_json capture = reading.Summary();
        std::uint64_t counted = capture["datagrams"];
        for (const auto& [reason, count] : capture["skipped"].items()) {
            counted += count.get<std::uint64_t>();
        }
        if (counted != capture["packets"]) {
            Fail("packets counted otherwise than read", capture);
        }
        std::uint64_t played = 0;
        for (const auto& conversation : reading.Conversations()) {
            const nlohmann::ordered_json summary = conversation->Summary();
            const std::uint64_t figured = summary["datagrams_sent"].get<std::uint64_t>() +
                                          summary["datagrams_received"].get<std::uint64_t>();
            if (figured != summary["conversation"]["datagrams"].get<std::uint64_t>() -
                               summary["conversation"]["unreadable"].get<std::uint64_t>()) {
                Fail("a conversation's figures miss or repeat datagrams", summary);
            }
            played += figured;
        }
        if (played != capture["datagrams"]) {
            Fail("datagrams reported otherwise than played", capture);
        }
    } catch (const peer::UsageError&) {
        // Not a capture of a link type report reads: refused with a reason, as it should be.
    }
    return 0;
}
