#include "peer/checks/Verdict.h"

#include <cmath>
#include <ctime>

#include "peer/PeerError.h"
#include "peer/checks/JUnit.h"

namespace peer {
namespace {

std::string Joined(const std::vector<std::string>& reasons) {
    std::string text;
    for (const std::string& reason : reasons) {
        text += (text.empty() ? "" : "; ") + reason;
    }
    return text;
}

// A summary may hold a file's name that is not UTF-8: shown replaced, never thrown.
std::string Printed(const nlohmann::ordered_json& value, int indent = -1) {
    return value.dump(indent, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace

Check& Verdict::Pass(std::string name, std::string type, double seconds) {
    return checks_.emplace_back(
        Check{std::move(name), std::move(type), Check::Outcome::Passed, {}, seconds, {}});
}

Check& Verdict::Fail(std::string name, std::string type, std::string reason, double seconds) {
    return checks_.emplace_back(Check{std::move(name),
                                      std::move(type),
                                      Check::Outcome::Failed,
                                      {std::move(reason)},
                                      seconds,
                                      {}});
}

Check& Verdict::Skip(std::string name, std::string type, std::string why) {
    return checks_.emplace_back(
        Check{std::move(name), std::move(type), Check::Outcome::Skipped, {std::move(why)}, 0, {}});
}

Check& Verdict::Judge(std::string name, std::string type, std::vector<std::string> reasons,
                      double seconds) {
    const Check::Outcome outcome =
        reasons.empty() ? Check::Outcome::Passed : Check::Outcome::Failed;
    return checks_.emplace_back(
        Check{std::move(name), std::move(type), outcome, std::move(reasons), seconds, {}});
}

Check& Verdict::JudgeSignal(bool interrupted) {
    return Judge(
        "ran to its end", "signal",
        interrupted ? std::vector<std::string>{Interrupted().what()} : std::vector<std::string>{});
}

std::vector<std::string> Verdict::Reasons() const {
    std::vector<std::string> reasons;
    for (const Check& check : checks_) {
        if (check.outcome == Check::Outcome::Failed) {
            reasons.insert(reasons.end(), check.reasons.begin(), check.reasons.end());
        }
    }
    return reasons;
}

void JudgeRecord(Verdict& verdict, const std::string& record, std::uint64_t errors) {
    if (record.empty()) {
        return;
    }
    verdict.Judge("--record", "record",
                  errors == 0 ? std::vector<std::string>{}
                              : std::vector<std::string>{"--record: " + std::to_string(errors) +
                                                         " voice datagrams could not be written"});
}

std::string PacingFigures(const nlohmann::ordered_json& summary) {
    nlohmann::ordered_json figures = nlohmann::ordered_json::object();
    for (const char* key : {"voice_sent", "voice_received", "pacing_sent_ms", "pacing_received_ms",
                            "drift_ms", "stalls", "seq_gaps", "seq_duplicates", "seq_reordered"}) {
        if (summary.contains(key)) {
            figures[key] = summary[key];
        }
    }
    return Printed(figures);
}

std::string VerdictJUnit(const Verdict& verdict, double startedAt, double seconds,
                         const nlohmann::ordered_json& summary,
                         const std::optional<std::string>& fault) {
    JUnitSuite suite;
    const std::string classname = "udpphone-peer." + verdict.Command();
    suite.name = "udpphone-peer " + verdict.Command() +
                 (verdict.Subject().empty() ? "" : " " + verdict.Subject());
    suite.timestamp = JUnitTimestamp(static_cast<std::time_t>(std::floor(startedAt)));
    suite.hostname = JUnitHostname();
    suite.seconds = seconds;
    for (const Check& check : verdict.Checks()) {
        JUnitCase junit{check.name,
                        classname,
                        check.seconds,
                        JUnitCase::Outcome::Passed,
                        Joined(check.reasons),
                        check.type,
                        check.output};
        if (check.outcome == Check::Outcome::Failed) {
            junit.outcome = JUnitCase::Outcome::Failed;
        } else if (check.outcome == Check::Outcome::Skipped) {
            junit.outcome = JUnitCase::Outcome::Skipped;
        }
        suite.cases.push_back(std::move(junit));
    }
    if (fault) {
        suite.cases.push_back(
            {"files written", classname, 0, JUnitCase::Outcome::Error, *fault, "file", ""});
    }
    suite.output = Printed(summary, 2);
    return JUnitXml(std::span(&suite, 1));
}

}  // namespace peer
