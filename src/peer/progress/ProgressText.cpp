#include "peer/progress/ProgressText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace peer {
namespace {

std::string Format(const char* format, double value) {
    char text[48];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string MsText(const std::optional<double>& seconds) {
    return seconds ? Format("%.3f ms", *seconds * 1e3) : "-";
}

nlohmann::ordered_json MsJson(const std::optional<double>& seconds) {
    return seconds ? nlohmann::ordered_json(std::round(*seconds * 1e6) / 1e3)
                   : nlohmann::ordered_json(nullptr);
}

// The figures both forms share, after the counts.
std::string Measures(const ProgressFigures& figures) {
    std::string text = "  voice p99 " + MsText(figures.voiceSpacingP99) + "  Seq events " +
                       std::to_string(figures.seqEvents);
    if (figures.load) {
        text += "  " + Format("%.0f", figures.requestRate) + " requests/s  answered " +
                (figures.answeredShare ? Format("%.1f %%", *figures.answeredShare * 100) : "-") +
                "  latency p99 " + MsText(figures.latencyP99);
    }
    return text;
}

}  // namespace

std::string StatusLine(const ProgressFigures& figures, std::size_t columns) {
    std::string text = Format("%.0f s", std::floor(figures.elapsed));
    if (figures.planned && *figures.planned > 0) {
        const double percent = std::min(100.0, 100 * figures.elapsed / *figures.planned);
        text += Format(" of %.0f s", *figures.planned) + Format(" (%.0f %%)", std::floor(percent));
    }
    text += "  sent " + std::to_string(figures.datagramsSent) + "  received " +
            std::to_string(figures.datagramsReceived) + Measures(figures);
    // The line must never wrap: a wrapped line is no longer redrawn in place.
    const std::size_t room = (columns == 0 ? 80 : columns) - 1;
    if (text.size() > room) {
        text.resize(room);
    }
    return "\r" + text + "\033[K";
}

std::string ClearedStatusLine() {
    return "\r\033[K";
}

std::string IntervalText(const ProgressFigures& figures) {
    return "interval " + Format("%.3f", figures.elapsed - figures.span) +
           Format("-%.3f s", figures.elapsed) + "  sent " + std::to_string(figures.sentInSpan) +
           "  received " + std::to_string(figures.receivedInSpan) + Measures(figures);
}

nlohmann::ordered_json IntervalJson(const ProgressFigures& figures) {
    auto seconds = [](double value) { return std::round(value * 1e6) / 1e6; };
    nlohmann::ordered_json interval = {
        {"start", seconds(figures.elapsed - figures.span)},
        {"end", seconds(figures.elapsed)},
        {"planned", figures.planned ? nlohmann::ordered_json(*figures.planned)
                                    : nlohmann::ordered_json(nullptr)},
        {"sent", figures.sentInSpan},
        {"received", figures.receivedInSpan},
        {"datagrams_sent", figures.datagramsSent},
        {"datagrams_received", figures.datagramsReceived},
        {"voice_spacing_p99_ms", MsJson(figures.voiceSpacingP99)},
        {"seq_events", figures.seqEvents},
    };
    if (figures.load) {
        interval["requests_per_second"] = std::round(figures.requestRate);
        interval["answered_percent"] =
            figures.answeredShare
                ? nlohmann::ordered_json(std::round(*figures.answeredShare * 1e5) / 1e3)
                : nlohmann::ordered_json(nullptr);
        interval["latency_p99_ms"] = MsJson(figures.latencyP99);
    }
    return {{"interval", interval}};
}

}  // namespace peer
