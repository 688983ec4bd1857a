#include "peer/progress/Planned.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>

#include "peer/session/VoiceStream.h"
#include "phone/PhoneDatagram.h"

namespace peer {
namespace {

std::uint64_t Chunks(std::uint64_t bytes) {
    return (bytes + phone::kVoicePayloadSize - 1) / phone::kVoicePayloadSize;
}

}  // namespace

double StreamingSeconds(std::uint64_t bytes) {
    return static_cast<double>(Chunks(bytes)) * kVoicePeriod;
}

std::optional<double> StreamingSeconds(int fd) {
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return StreamingSeconds(static_cast<std::uint64_t>(status.st_size));
}

std::optional<double> PlannedSeconds(const Scenario& scenario) {
    // Each file goes on where it stopped when streamed again: how many of its chunks are left.
    std::map<std::string, std::uint64_t> left;
    struct Running {
        std::string file;
        double start = 0;
        std::uint64_t chunks = 0;
    };
    std::optional<Running> running;
    double t = 0;
    const auto stop = [&] {
        if (running) {
            const auto played = static_cast<std::uint64_t>(
                std::ceil(std::max(0.0, t - running->start) / kVoicePeriod));
            left[running->file] -= std::min(played, running->chunks);
            running.reset();
        }
    };
    for (const ScenarioStep& step : scenario.steps) {
        switch (step.type) {
            case ScenarioStep::Type::Wait:
                t += step.seconds;
                break;
            case ScenarioStep::Type::Stream: {
                stop();
                if (left.count(step.file) == 0) {
                    struct stat status {};
                    if (::stat(step.file.c_str(), &status) != 0) {
                        return std::nullopt;
                    }
                    left[step.file] = Chunks(static_cast<std::uint64_t>(status.st_size));
                }
                const std::uint64_t chunks =
                    std::min(left[step.file], step.chunks.value_or(UINT64_MAX));
                running = Running{step.file, t, chunks};
                break;
            }
            case ScenarioStep::Type::WaitStream:
                if (running) {
                    t = std::max(
                        t, running->start + static_cast<double>(running->chunks) * kVoicePeriod);
                }
                break;
            case ScenarioStep::Type::Stop:
                stop();
                break;
            case ScenarioStep::Type::Send:
            case ScenarioStep::Type::Expect:
                break;
        }
    }
    return t > 0 ? std::optional<double>(t) : std::nullopt;
}

}  // namespace peer
