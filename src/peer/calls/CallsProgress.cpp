#include "peer/calls/CallsProgress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "peer/figures/Figures.h"
#include "peer/progress/ProgressText.h"

namespace peer {
namespace {

void Show(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

CallsProgress::CallsProgress(const Setup& setup, CallsEngine& engine, Report& report)
    : setup_(setup), engine_(engine), report_(report), pacer_(setup.terminal, setup.interval, 0) {}

double CallsProgress::NextDue() const {
    return setup_.origin + pacer_.NextDue();
}

std::string CallsProgress::Figures(Mark& since, double t, bool json) const {
    const double seconds = t - since.t;
    const double rate =
        seconds > 0 ? static_cast<double>(engine_.Started() - since.started) / seconds : 0;
    const std::optional<double> worst = since.worst;
    since = Mark{t, engine_.Started(), std::nullopt};
    if (json) {
        return nlohmann::ordered_json{
            {"interval",
             {{"t", std::round(t * 1000) / 1000},
              {"calls_up", engine_.Up()},
              {"calls_started", engine_.Started()},
              {"calls_per_second", std::round(rate * 10) / 10},
              {"worst_receive_spacing_p99_ms",
               worst ? nlohmann::ordered_json(Ms(*worst)) : nlohmann::ordered_json(nullptr)}}}}
            .dump();
    }
    char text[200];
    std::snprintf(text, sizeof text,
                  "%.1f s: %llu calls up, %llu started, %.1f calls/s, worst receive spacing p99 %s",
                  t, static_cast<unsigned long long>(engine_.Up()),
                  static_cast<unsigned long long>(engine_.Started()), rate,
                  worst ? (std::to_string(Ms(*worst)) + " ms").c_str() : "-");
    return text;
}

void CallsProgress::Tick(double now) {
    const double t = now - setup_.origin;
    const ProgressPacer::Due due = pacer_.Poll(t);
    // The spacing since the last look, into both the line's and the status line's worst.
    if (const auto worst = engine_.TakeWorstIntervalP99()) {
        interval_.worst = std::max(interval_.worst.value_or(0), *worst);
        status_.worst = std::max(status_.worst.value_or(0), *worst);
    }
    if (due.interval) {
        report_.Line(Figures(interval_, t, setup_.json));
    }
    if (due.status) {
        shown_ = "\r" + Figures(status_, t, false) + "\x1b[K";
        Show(shown_);
    }
}

void CallsProgress::End() {
    if (!shown_.empty()) {
        Show(ClearedStatusLine());
        shown_.clear();
    }
    setup_.terminal = false;
    pacer_ = ProgressPacer(false, std::nullopt, 0);
}

void CallsProgress::BeforeLine() {
    if (setup_.linesShareTerminal && !shown_.empty()) {
        Show(ClearedStatusLine());
    }
}

void CallsProgress::AfterLine() {
    if (setup_.linesShareTerminal && !shown_.empty()) {
        Show(shown_);
    }
}

}  // namespace peer
