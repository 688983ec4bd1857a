#include "peer/progress/Progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "peer/progress/ProgressText.h"

namespace peer {
namespace {

std::size_t TerminalColumns() {
    winsize size{};
    return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

}  // namespace

Progress::Progress(const Setup& setup, const Figures& figures, Report& report)
    : setup_(setup),
      figures_(figures),
      report_(report),
      live_(setup.load),
      tap_(live_),
      pacer_(setup.terminal, setup.interval, 0) {}

double Progress::NextDue() const {
    return setup_.origin + pacer_.NextDue();
}

void Progress::Tick(double now) {
    const double t = now - setup_.origin;
    const ProgressPacer::Due due = pacer_.Poll(t);
    live_.SetSeqEvents(figures_.SeqEvents());
    if (due.interval) {
        const ProgressFigures interval = live_.TakeInterval(t, planned_);
        report_.Line(setup_.json ? IntervalJson(interval).dump() : IntervalText(interval));
    }
    if (due.status) {
        status_ = StatusLine(live_.LastSecond(t, planned_), TerminalColumns());
        Show(status_);
    }
}

void Progress::End() {
    if (!status_.empty()) {
        Show(ClearedStatusLine());
        status_.clear();
    }
    // Nothing is drawn any more.
    setup_.terminal = false;
    pacer_ = ProgressPacer(false, std::nullopt, 0);
}

void Progress::BeforeLine() {
    if (setup_.linesShareTerminal && !status_.empty()) {
        Show(ClearedStatusLine());
    }
}

void Progress::AfterLine() {
    if (setup_.linesShareTerminal && !status_.empty()) {
        Show(status_);
    }
}

void Progress::Show(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace peer
