#pragma once
// How the running figures are shown: one status line on a terminal, redrawn in place, and the
// --interval lines, plain or one JSON object a line.

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

#include "peer/progress/LiveFigures.h"

namespace peer {

// The status line to write as it is: back to the line's start, the figures cut to fit
// `columns` (the terminal's width; 0: 80), then clear to the end of the line.
std::string StatusLine(const ProgressFigures& figures, std::size_t columns);

// Wipes the status line: before other output goes to the same terminal, and before the summary.
std::string ClearedStatusLine();

// An --interval line (no newline): the interval's own counts and figures.
std::string IntervalText(const ProgressFigures& figures);

// {"interval": {...}}: the same, with the totals so far; times in seconds, durations in ms.
nlohmann::ordered_json IntervalJson(const ProgressFigures& figures);

}  // namespace peer
