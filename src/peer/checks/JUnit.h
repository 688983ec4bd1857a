#pragma once
// A run's checks as JUnit XML, the form CI servers (GitLab, Jenkins, GitHub's test reporters)
// show as test results: <testsuites> holding one <testsuite> per run, one <testcase> per check.
// Any text may carry bytes a device sent, so every string is made well-formed on the way out:
// valid UTF-8 passes (markup characters escaped), and each byte that is not valid UTF-8 or not a
// character XML allows is written as the visible text \xNN.

#include <ctime>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace peer {

struct JUnitCase {
    enum class Outcome { Passed, Failed, Error, Skipped };

    std::string name;       // the check: "Ring reply", "step 4 (line 12): expect accepted", ...
    std::string classname;  // what holds it: "udpphone-peer.call", ...
    double seconds = 0;
    Outcome outcome = Outcome::Passed;
    std::string message;  // the reason, as the summary gives it
    std::string type;     // what kind of failure: "reply", "pacing", "voice_check", ...
    std::string output;   // <system-out>, if any
};

struct JUnitSuite {
    std::string name;
    std::string timestamp;  // JUnitTimestamp of the run's start
    std::string hostname;
    double seconds = 0;
    std::vector<JUnitCase> cases;
    std::string output;  // <system-out>, if any: the summary, say
};

// The whole document.
std::string JUnitXml(std::span<const JUnitSuite> suites);

// Local time as JUnit readers expect it: 2024-05-01T13:45:00, no zone.
std::string JUnitTimestamp(std::time_t time);

// This machine's name, or "localhost" when it has none to give.
std::string JUnitHostname();

// `raw` made fit for XML character data; in an attribute also tab, newline and carriage return
// as references, so a reader gives them back rather than blanks.
std::string XmlEscaped(std::string_view raw, bool attribute);

}  // namespace peer
