#include "peer/report/ReportHtml.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <utility>
#include <vector>

#include "peer/report/Pictures.h"
#include "peer/report/Svg.h"

namespace peer {
namespace {

// Rows of the steps' table; the picture and the summary cover the rest.
constexpr std::size_t kStepTableRows = 2000;

// Colours by meaning, each in a light and a dark scheme; the pictures name only the meanings.
constexpr const char* kStyle = R"css(
:root{color-scheme:light dark;--fg:#1d1d1f;--bg:#fff;--muted:#5f6368;--grid:#e3e3e6;
--panel:#f5f5f7;--sent:#1f5fbf;--received:#0b7a6b;--nominal:#2a7d2e;--band:rgba(42,125,46,.15);
--median:#7b3fc4;--p99:#b4530b;--bad:#c62828;--warn:#a86200;--info:#2b6cb0;--other:#8e44ad;
--quiet:#6b7280}
@media (prefers-color-scheme:dark){:root{--fg:#e6e6e6;--bg:#17181a;--muted:#a0a4a8;
--grid:#303236;--panel:#222427;--sent:#6aa5ff;--received:#45d0bb;--nominal:#6fd171;
--band:rgba(111,209,113,.17);--median:#c79bff;--p99:#ffa657;--bad:#ff6b6b;--warn:#f0b429;
--info:#79a8ff;--other:#d19bff;--quiet:#9ca3af}}
body{margin:0 auto;max-width:1000px;padding:1em;color:var(--fg);background:var(--bg);
font:15px/1.45 system-ui,sans-serif}
h1{font-size:1.5em}h2{font-size:1.2em;margin-top:1.6em}
code{font-family:ui-monospace,monospace;word-break:break-all}
dl.head{display:grid;grid-template-columns:max-content 1fr;gap:.2em 1em}
dl.head dt{font-weight:600}dl.head dd{margin:0}
.verdict{padding:.1em .5em;border-radius:.3em;color:#fff;font-weight:700}
.verdict.pass{background:#2a7d2e}.verdict.fail{background:#c62828}.verdict.other{background:#6b7280}
table{border-collapse:collapse;margin:.5em 0}
th,td{text-align:left;padding:.15em .8em .15em 0;border-bottom:1px solid var(--grid);
vertical-align:top}
td{word-break:break-word}td.number{font-variant-numeric:tabular-nums}
td.time{white-space:nowrap;font-variant-numeric:tabular-nums}
tr.failed td{color:var(--bad);font-weight:600}
svg.chart{display:block;max-width:100%;height:auto;margin:.6em 0;color:var(--fg);
background:var(--bg);font:11px system-ui,sans-serif}
.chart text{fill:currentColor}
.chart .unit{fill:var(--muted)}
.chart .axis{stroke:currentColor}
.chart .grid{stroke:var(--grid)}
.chart .band,.chart .swatch.band{fill:var(--band)}
.chart .nominal{stroke:var(--nominal);stroke-width:1.5;stroke-dasharray:6 3}
.chart .swatch.nominal{fill:var(--nominal);stroke:none}
.chart path.data,.chart path.reply,.chart .series{fill:none;stroke-width:1.5}
.chart path.sent,.chart path.reply{stroke:var(--sent)}
.chart path.received{stroke:var(--received)}
.chart .dot{stroke:none}
.chart .dot.sent,.chart .swatch.sent,.chart circle.reply,.chart .bar.sent{fill:var(--sent)}
.chart .dot.received,.chart .swatch.received,.chart .bar.received{fill:var(--received)}
.chart .bar.outside{fill:var(--p99)}
.chart .lane{fill:var(--panel)}
.chart line.median{stroke:var(--median);stroke-width:2}
.chart line.p99{stroke:var(--p99);stroke-width:2;stroke-dasharray:4 2}
.chart .k-median{fill:var(--median)}.chart .k-p99{fill:var(--p99)}
.chart .m-stall,.chart .m-corrupted,.chart .m-noreply{fill:var(--bad)}
.chart .m-dropped,.chart .m-gap,.chart .m-missing{fill:var(--warn)}
.chart .m-duplicated,.chart .m-duplicate{fill:var(--info)}
.chart .m-reordered,.chart .m-reorder{fill:var(--other)}
.chart .m-delayed{fill:var(--quiet)}
.chart .load-sent{stroke:var(--sent)}.chart .load-replies{stroke:var(--received)}
.chart .load-median{stroke:var(--median)}.chart .load-p99{stroke:var(--p99)}
.chart .load-largest{stroke:var(--bad)}
.chart .swatch.load-sent{fill:var(--sent)}.chart .swatch.load-replies{fill:var(--received)}
.chart .swatch.load-median{fill:var(--median)}.chart .swatch.load-p99{fill:var(--p99)}
.chart .swatch.load-largest{fill:var(--bad)}
.chart rect.s-passed{fill:var(--nominal)}.chart rect.s-failed{fill:var(--bad)}
.chart text.s-failed{fill:var(--bad);font-weight:700}.chart text.s-not-reached{fill:var(--muted)}
.chart text.on-bar{fill:#fff}
)css";

std::string Dump(const nlohmann::ordered_json& value) {
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// The summary as rows of its figures, nested names joined with dots, each value as printed.
void Flatten(const nlohmann::ordered_json& value, const std::string& name,
             std::vector<std::pair<std::string, std::string>>& rows) {
    if (value.is_object() && !value.empty()) {
        for (const auto& [key, inner] : value.items()) {
            Flatten(inner, name.empty() ? key : name + "." + key, rows);
        }
        return;
    }
    rows.emplace_back(name, value.is_string() ? value.get<std::string>() : Dump(value));
}

std::string StartText(double startedAt) {
    if (!(startedAt > 0)) {
        return "unknown";
    }
    const auto whole = static_cast<std::time_t>(std::floor(startedAt));
    std::tm utc{};
    gmtime_r(&whole, &utc);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    const auto milliseconds =
        std::clamp(static_cast<int>((startedAt - std::floor(startedAt)) * 1000), 0, 999);
    std::string fraction = std::to_string(1000 + milliseconds);  // "1007": ".007"
    fraction[0] = '.';
    return std::string(text) + fraction + " UTC";
}

void Row(std::string& html, const std::string& name, const std::string& value, bool code = false) {
    html += "<dt>" + EscapeText(name) + "</dt><dd>" + (code ? "<code>" : "") + EscapeText(value) +
            (code ? "</code>" : "") + "</dd>\n";
}

std::string Heading(int level, const std::string& text) {
    const std::string tag = "h" + std::to_string(level);
    return "<" + tag + ">" + text + "</" + tag + ">\n";
}

// Every figure of a summary as a table row, nested names joined with dots.
void SummaryTable(std::string& html, const nlohmann::ordered_json& summary, const std::string& id,
                  const std::string& heading, const std::string& caption, int level) {
    std::vector<std::pair<std::string, std::string>> rows;
    Flatten(summary, "", rows);
    html += "<section id=\"" + EscapeText(id) + "\">\n" + Heading(level, heading) +
            "<table>\n<caption>" + caption + "</caption>\n";
    for (const auto& [name, value] : rows) {
        html += "<tr><th scope=\"row\">" + EscapeText(name) + "</th><td class=\"number\">" +
                EscapeText(value) + "</td></tr>\n";
    }
    html += "</table>\n</section>\n";
}

// The head's list: what ran (or what was read), its ends and times, and the verdict where the
// report has one (a capture's conversations have none).
void HeadList(std::string& html, const ReportHead& head, const std::string& idPrefix) {
    html += "<dl class=\"head\">\n";
    if (!head.commandLine.empty()) {
        Row(html, "Command line", head.commandLine, true);
    }
    Row(html, "Local", head.local.empty() ? "unknown" : head.local);
    Row(html, "Peer", head.peer.empty() ? "unknown" : head.peer);
    Row(html, "Started", StartText(head.startedAt));
    Row(html, "Length", Num(head.lengthSeconds, 3) + " s");
    if (!head.verdict.empty()) {
        Row(html, "Verdict", head.verdict);
        html += "<dt>Reasons</dt><dd>";
        if (head.reasons.empty()) {
            html += "none";
        } else {
            html += "<ul id=\"" + EscapeText(idPrefix) + "reasons\">";
            for (const std::string& reason : head.reasons) {
                html += "<li>" + EscapeText(reason) + "</li>";
            }
            html += "</ul>";
        }
        html += "</dd>\n";
    }
    html += "</dl>\n";
}

// `id` differs from every picture's: a page's ids are each its own.
void Section(std::string& html, const ReportData& data, const char* id, const char* heading,
             const std::string& body, int level) {
    html += "<section id=\"" + EscapeText(data.idPrefix) + id + "\">\n" + Heading(level, heading) +
            body + "</section>\n";
}

std::string Note(const std::string& text) {
    return "<p>" + EscapeText(text) + "</p>\n";
}

std::string StepsTable(const ReportData& data) {
    std::string html = "<table id=\"" + EscapeText(data.idPrefix) +
                       "steps\">\n<caption>The scenario's steps</caption>\n<tr><th scope=\"col\">"
                       "Line</th><th scope=\"col\">Start (s)</th><th scope=\"col\">End (s)</th>"
                       "<th scope=\"col\">Outcome</th><th scope=\"col\">Step</th><th "
                       "scope=\"col\">Reason</th></tr>\n";
    const std::size_t rows = std::min(data.steps.size(), kStepTableRows);
    for (std::size_t i = 0; i < rows; ++i) {
        const StepRecord& step = data.steps[i];
        const bool reached = step.outcome != StepRecord::Outcome::NotReached;
        const char* outcome = step.outcome == StepRecord::Outcome::Passed   ? "passed"
                              : step.outcome == StepRecord::Outcome::Failed ? "failed"
                                                                            : "not reached";
        html += step.outcome == StepRecord::Outcome::Failed ? "<tr class=\"failed\">" : "<tr>";
        html += "<td>" + std::to_string(step.line) + "</td><td class=\"time\">" +
                (reached ? Num(step.start, 6) : "") + "</td><td class=\"time\">" +
                (reached ? Num(step.end, 6) : "") + "</td><td>" + outcome + "</td><td><code>" +
                EscapeText(step.text) + "</code></td><td>" + EscapeText(step.reason) +
                "</td></tr>\n";
    }
    html += "</table>\n";
    const std::uint64_t left = data.steps.size() - rows + data.stepsOmitted;
    if (left > 0) {
        html += Note(std::to_string(left) + " more steps are not listed.");
    }
    return html;
}

std::string PageStart(const std::string& title) {
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           // Nothing may be fetched: the file shows the same anywhere, and tells no one it was
           // opened.
           "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
           "style-src 'unsafe-inline'\">\n"
           "<meta name=\"color-scheme\" content=\"light dark\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
           EscapeText(title) + "</title>\n<style>" + std::string(kStyle) +
           "</style>\n</head>\n<body>\n";
}

constexpr const char* kPageEnd = "</body>\n</html>\n";

// The pictures and tables of one report, below its head; `level` is their headings'.
void Body(std::string& html, const ReportData& data, int level) {
    const bool anyVoice = data.sent.datagrams > 0 || data.received.datagrams > 0;
    if (anyVoice) {
        std::string spacing, histograms;
        for (const Direction direction : {Direction::Sent, Direction::Received}) {
            const bool sent = direction == Direction::Sent;
            if ((sent ? data.sent : data.received).datagrams == 0) {
                const std::string none = sent ? "No voice was sent." : "No voice was received.";
                spacing += Note(none);
                histograms += Note(none);
                continue;
            }
            spacing += SpacingPicture(data, direction);
            histograms += HistogramPicture(data, direction);
        }
        Section(html, data, "spacing", "Voice spacing over time", spacing, level);
        Section(html, data, "histograms", "Spacing histograms", histograms, level);
        Section(html, data, "seq", "Seq of the voice received",
                data.received.datagrams > 0 ? SeqPicture(data) : Note("No voice was received."),
                level);
    }
    if (!data.replies.empty()) {
        Section(html, data, "requests", "Replies", RepliesPicture(data), level);
    }
    if (!data.load.empty()) {
        Section(html, data, "load", "Load", LoadCountsPicture(data) + LoadLatencyPicture(data),
                level);
    }
    if (!data.steps.empty()) {
        Section(html, data, "scenario-run", "Scenario", ScenarioPicture(data) + StepsTable(data),
                level);
    }
    if (!anyVoice && data.replies.empty() && data.load.empty() && data.steps.empty()) {
        html += Note("No voice, no replies and no steps: nothing to draw.");
    }
}

}  // namespace

std::string RenderReport(const ReportData& data) {
    const ReportHead& head = data.head;
    std::string html =
        PageStart("udpphone-peer report: " + (head.verdict.empty() ? "" : head.verdict + ": ") +
                  head.commandLine);
    const std::string verdict = head.verdict.empty() ? "unknown" : head.verdict;
    const char* tone = verdict == "pass" ? "pass" : verdict == "fail" ? "fail" : "other";
    html += "<header>\n<h1>udpphone-peer report: <span class=\"verdict " + std::string(tone) +
            "\">" + EscapeText(verdict) + "</span></h1>\n";
    ReportHead judged = head;
    judged.verdict = verdict;
    HeadList(html, judged, data.idPrefix);
    html += "</header>\n";
    SummaryTable(html, head.summary, data.idPrefix + "summary", "Summary",
                 "Every figure of the summary, as printed", 2);
    html += data.commandSection;
    Body(html, data, 2);
    return html + kPageEnd;
}

std::string RenderCaptureReport(const CaptureReportHead& capture,
                                std::span<const ReportData* const> conversations,
                                std::uint64_t notDrawn) {
    std::string html = PageStart("udpphone-peer report: " + capture.file);
    html += "<header>\n<h1>udpphone-peer report: " + EscapeText(capture.file) +
            "</h1>\n<dl class=\"head\">\n";
    Row(html, "Command line", capture.commandLine, true);
    Row(html, "Capture", capture.file);
    Row(html, "Conversations", std::to_string(conversations.size() + notDrawn));
    html += "</dl>\n</header>\n";
    SummaryTable(html, capture.summary, "capture", "Capture",
                 "The capture's own figures, as printed", 2);
    if (conversations.empty()) {
        html += Note("The capture holds no conversation of the protocol that was asked for.");
    }
    // One conversation reads as a live run's report; several each get a part of their own.
    const bool one = conversations.size() == 1 && notDrawn == 0;
    const int level = one ? 2 : 3;
    for (std::size_t i = 0; i < conversations.size(); ++i) {
        const ReportData& data = *conversations[i];
        const std::string title = "Conversation " + (one ? "" : std::to_string(i + 1) + ": ") +
                                  (data.head.local.empty() ? "?" : data.head.local) + " with " +
                                  (data.head.peer.empty() ? "?" : data.head.peer);
        html += "<article class=\"conversation\"" +
                (data.idPrefix.empty() ? std::string()
                                       : " id=\"" + EscapeText(data.idPrefix) + "conversation\"") +
                ">\n" + Heading(2, EscapeText(title));
        HeadList(html, data.head, data.idPrefix);
        SummaryTable(html, data.head.summary, data.idPrefix + "summary", "Summary",
                     "Every figure of the conversation's summary, as printed", level);
        Body(html, data, level);
        html += "</article>\n";
    }
    if (notDrawn > 0) {
        html += Note(std::to_string(notDrawn) +
                     " more conversations are not drawn here; their summaries are on standard "
                     "output, and --conversation draws any one of them.");
    }
    return html + kPageEnd;
}

}  // namespace peer
