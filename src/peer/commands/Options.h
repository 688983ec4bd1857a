#pragma once
// The subcommands' settings as the command line gives them, already checked for range and form.

#include <cstdint>
#include <optional>
#include <string>

#include "peer/session/Impairment.h"

namespace peer {

struct CommonOptions {
    // The command's name and what it runs against ("call", "192.0.2.7"), as the command line
    // gave them: they name the run's JUnit suite.
    std::string commandName, subject;
    std::string bind = "0.0.0.0";
    int localPort = 20080;
    bool json = false;
    bool quiet = false;
    // 4 MiB holds several seconds of requests at full speed while the process is descheduled.
    int receiveBuffer = 4 << 20;
    std::int32_t target = 1;
    std::string pcap;         // capture file; empty: none
    std::string junit;        // JUnit file; empty: none
    std::string report;       // --report: the HTML report's file; empty: none
    std::string commandLine;  // as typed, quoted: what the report says was run
    // Seconds between the running figures' lines (call, answer, load, run); none: no lines.
    std::optional<double> interval;
};

// --expect-voice and --allow-missing (call, answer, run).
struct VoiceExpectation {
    std::string file;  // empty: no check
    double allowMissingPercent = 0;
};

struct AnswerOptions : CommonOptions {
    int peerPort = 20080;
    std::string peer;
    bool replyToSender = false;
    std::string record;
    std::string play;
    bool untilDisconnect = false;
    std::optional<std::uint64_t> count;
    std::optional<double> duration;
    ImpairmentSettings impairments;
    std::string save;  // scenario file; empty: none
    VoiceExpectation expectVoice;
    // --phones: answers as this many phones, on ports localPort up (each any free one for port
    // 0), or one on localPort at each address from `bind` to `bindLast`.
    int phones = 1;
    std::string bindLast;  // empty: --bind is one address
    bool receiveBufferGiven = false;
};

struct CallOptions : CommonOptions {
    std::string host;
    std::string play;
    std::string record;
    std::optional<double> talkSeconds;
    int timeoutMs = 1000;
    std::int32_t expectStatus = 1;
    ImpairmentSettings impairments;
    std::string save;
    VoiceExpectation expectVoice;
};

// An inclusive range of numbers (ports, targets) or of IPv4 addresses in host order.
struct NumberRange {
    std::int64_t first = 0, last = 0;
    std::uint64_t Size() const { return static_cast<std::uint64_t>(last - first) + 1; }
    // The i-th value, going round the range.
    std::int64_t At(std::uint64_t i) const { return first + static_cast<std::int64_t>(i % Size()); }
};

// `calls`: of the common options only --receive-buffer (each call's socket), --target's range
// and --bind's range as its own, and no single local port.
struct CallsOptions : CommonOptions {
    std::string host;         // HOST[:PORT[-PORT2]]
    std::string play;         // empty: no voice
    double talkSeconds = 10;  // from the accepted Talk
    int timeoutMs = 1000;
    VoiceExpectation expectVoice;
    std::optional<std::uint64_t> calls;
    std::optional<double> duration;
    std::uint32_t concurrent = 10;
    double rate = 10;
    std::optional<NumberRange> localPorts;  // none: any free ones
    std::optional<NumberRange> bindAddresses;
    NumberRange targets{1, 1};
};

struct SendOptions : CommonOptions {
    std::string host;
    std::string command = "ring";
    std::int32_t status = 0;
    std::int32_t seq = 1;
    std::optional<std::int32_t> length;
    std::string payloadFile;
    std::optional<int> size;
    std::string magic = "zelk";
    std::optional<std::string> hex;  // the whole datagram, possibly empty
    int timeoutMs = 1000;
    // A status the reply must carry, or none: then no reply may come.
    std::optional<std::int32_t> expectStatus = 1;
};

struct LoadOptions : CommonOptions {
    std::string host;
    bool voice = false;
    double rate = 1000;
    double duration = 10;
    double minAnswered = 100;
    int timeoutMs = 1000;
};

}  // namespace peer

namespace peer {

struct ScenarioOptions : CommonOptions {
    std::string scenario;
    std::string host;
    ImpairmentSettings impairments;
    bool strict = false;
    VoiceExpectation expectVoice;
};

// `report` reads a file and has no socket: none of the common options but --json.
struct ReportOptions {
    std::string capture;
    std::string conversation;  // "A:P-B:P"; empty: every one
    std::string local;         // "A:P" or "A"; empty: the first requester of each
    bool json = false;
    std::string output;       // -o: the HTML report's file; empty: none
    std::string commandLine;  // as typed, quoted
};

}  // namespace peer
