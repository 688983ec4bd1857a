#pragma once
// Scenarios: a call written down as steps, one a line, to be played against an endpoint (run)
// and saved from a call that happened (--save). The format is described in docs/scenarios.md.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "peer/DatagramLook.h"

namespace peer {

inline constexpr double kDefaultWithin = 1.0;
// The longest scenario file that is read (and written).
inline constexpr std::size_t kLongestScenario = 16u << 20;

// A field an expectation checks: as the scenario stands (the reply's 1, the current target),
// not at all ("any"), or a value.
struct FieldWant {
    enum class How { Default, Any, Value };
    How how = How::Default;
    std::int32_t value = 0;
};

struct ScenarioStep {
    enum class Type { Send, Expect, Wait, WaitStream, Stream, Stop };
    Type type = Type::Wait;
    int line = 0;
    std::string text;  // as written, without its comment

    // send: the whole datagram as hex, or a 12-byte request from its fields
    std::optional<std::vector<std::uint8_t>> hex;
    std::int16_t command = 0;
    std::optional<std::int32_t> seq, target, status;
    std::optional<std::string> from;  // a local address to send from

    // expect
    Kind kind = Kind::Request;
    FieldWant wantStatus, wantTarget;
    std::optional<std::int32_t> wantSeq, wantSize, wantLength;
    std::uint64_t count = 1;         // voice: at least this many
    double within = kDefaultWithin;  // seconds

    // wait
    double seconds = 0;

    // stream (also seq and target)
    std::string file;  // as resolved against the scenario's folder
    std::optional<std::uint64_t> chunks;
};

struct Scenario {
    std::string path;
    std::vector<ScenarioStep> steps;
};

// Reads and checks the whole scenario, stream files included; a fault throws UsageError naming
// the file, the line and what is wrong.
Scenario ParseScenario(const std::string& path);
// The same for text already read; files are looked for relative to `folder`.
Scenario ParseScenarioText(std::string_view text, const std::string& name,
                           const std::filesystem::path& folder);

// Whether a received datagram is what `expect` asks for, `target` being the scenario's target.
bool Expected(const ScenarioStep& expect, const DatagramLook& look, std::size_t size,
              std::int32_t target);

// A path as a scenario line takes it: quoted (with \" and \\ within) when it holds blanks, "#",
// "=" or a quote. A line break cannot be written: the caller refuses such a path.
std::string QuotedPath(const std::string& path);

}  // namespace peer
