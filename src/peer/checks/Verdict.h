#pragma once
// A run's verdict as the checks it made: each check passed, failed with the reasons the summary
// lists, or was not made (skipped, with why). The summary's reasons and the JUnit file's failures
// are both read from this one list, so the two never tell different stories.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace peer {

struct Check {
    enum class Outcome { Passed, Failed, Skipped };
    std::string name;  // "Ring reply", "line 4: expect reply", "voice check", ...
    std::string type;  // what kind of check: "reply", "step", "pacing", "voice_check", ...
    Outcome outcome = Outcome::Passed;
    std::vector<std::string> reasons;  // failed: as the summary gives them; skipped: why
    double seconds = 0;
    std::string output;  // figures worth keeping with it, for the JUnit file's system-out
};

class Verdict {
  public:
    // `command` (call, answer...) and what it ran against name the JUnit suite.
    Verdict(std::string command, std::string subject)
        : command_(std::move(command)), subject_(std::move(subject)) {}

    Check& Pass(std::string name, std::string type, double seconds = 0);
    Check& Fail(std::string name, std::string type, std::string reason, double seconds = 0);
    Check& Skip(std::string name, std::string type, std::string why);
    // Passed without reasons, failed with them.
    Check& Judge(std::string name, std::string type, std::vector<std::string> reasons,
                 double seconds = 0);
    // The check every command but answer makes: that no signal cut the run short.
    Check& JudgeSignal(bool interrupted);

    // Every failed check's reasons, in the order the checks were made.
    std::vector<std::string> Reasons() const;
    const std::vector<Check>& Checks() const { return checks_; }
    const std::string& Command() const { return command_; }
    const std::string& Subject() const { return subject_; }

  private:
    std::string command_, subject_;
    std::vector<Check> checks_;
};

// With --record: that every voice datagram could be written.
void JudgeRecord(Verdict& verdict, const std::string& record, std::uint64_t errors);

// The voice pacing figures of a summary as text, for the pacing check's output: the peer judges
// no pacing, so that check passes and carries what was measured.
std::string PacingFigures(const nlohmann::ordered_json& summary);

// The run as a JUnit document: one suite ("udpphone-peer call HOST"), one case per check, and
// an error case for `fault`, a file the run could not write. `startedAt` is real-time seconds,
// `seconds` the run's length; the summary goes into the suite's system-out.
std::string VerdictJUnit(const Verdict& verdict, double startedAt, double seconds,
                         const nlohmann::ordered_json& summary,
                         const std::optional<std::string>& fault);

}  // namespace peer
