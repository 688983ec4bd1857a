#pragma once
// The HTML report: one self-contained file with no script, that asks for nothing from anywhere
// when opened (its own policy forbids it), readable in a light and a dark colour scheme.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <string>

#include "peer/report/ReportData.h"

namespace peer {

// A live run's report.
std::string RenderReport(const ReportData& data);

// What a capture's page says of the capture itself.
struct CaptureReportHead {
    std::string file;
    std::string commandLine;
    nlohmann::ordered_json summary;  // the capture's own figures, as printed
};
// A capture's report: its own figures, then each conversation's report (distinct idPrefix
// each, or an empty one when there is just one); `notDrawn` more were found but not drawn.
std::string RenderCaptureReport(const CaptureReportHead& capture,
                                std::span<const ReportData* const> conversations,
                                std::uint64_t notDrawn = 0);

}  // namespace peer
