// The calls' time line in the HTML report: a row per call, each a bar from its Ring to its
// Disconnect's reply, with a <title> a reader's pointer shows.

#include <algorithm>

#include "peer/calls/CallsTally.h"
#include "peer/report/Svg.h"

namespace peer {

std::string TimelineSection(const CallsTally& tally, double span) {
    const std::vector<TimelineRow>& rows = tally.Rows();
    std::string html = "<section id=\"calls\">\n<h2>Calls over time</h2>\n";
    if (rows.empty()) {
        return html + "<p>No call was placed.</p>\n</section>\n";
    }
    constexpr double kWidth = 900, kLeft = 60, kRowHeight = 6, kTop = 10;
    const double end = std::max(span, 1e-3);
    const double height = kTop * 2 + kRowHeight * static_cast<double>(rows.size()) + 20;
    const auto x = [&](double t) {
        return kLeft + (kWidth - kLeft - 10) * std::clamp(t / end, 0.0, 1.0);
    };
    html += "<svg xmlns=\"http://www.w3.org/2000/svg\" role=\"img\" viewBox=\"0 0 " + Num(kWidth) +
            " " + Num(height) + "\" width=\"100%\" aria-labelledby=\"calls-title\">\n" +
            "<title id=\"calls-title\">Each call from its Ring to its Disconnect's reply; failed "
            "calls in red</title>\n";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const TimelineRow& row = rows[i];
        const double y = kTop + kRowHeight * static_cast<double>(i);
        html += "<rect x=\"" + Num(x(row.start)) + "\" y=\"" + Num(y) + "\" width=\"" +
                Num(std::max(1.0, x(row.end) - x(row.start))) + "\" height=\"" +
                Num(kRowHeight - 1) + "\" fill=\"" + (row.failed ? "#d32f2f" : "#388e3c") +
                "\"><title>" + EscapeText(row.title) + "</title></rect>\n";
    }
    const double axis = kTop + kRowHeight * static_cast<double>(rows.size()) + 14;
    html += "<text x=\"" + Num(kLeft) + "\" y=\"" + Num(axis) +
            "\" font-size=\"11\" fill=\"currentColor\">0 s</text>\n<text x=\"" + Num(kWidth - 10) +
            "\" y=\"" + Num(axis) +
            "\" font-size=\"11\" text-anchor=\"end\" fill=\"currentColor\">" + Num(end, 3) +
            " s</text>\n</svg>\n";
    if (tally.RowsLeftOut() > 0) {
        html += "<p>The first " + std::to_string(rows.size()) + " calls are drawn; " +
                std::to_string(tally.RowsLeftOut()) +
                " more are left out (each is on standard output and in the --junit file).</p>\n";
    }
    return html + "</section>\n";
}

}  // namespace peer
