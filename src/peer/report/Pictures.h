#pragma once
// The report's pictures, each one inline SVG whose title and description say what it shows and
// its key numbers, the summary's own where the summary has them.

#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "peer/report/ReportData.h"

namespace peer {

enum class Direction { Sent, Received };

// A figure of the summary as the JSON prints it ("47.051", "5", "pass"); none when the summary
// has no such figure or it is null.
std::optional<std::string> SummaryFigure(const nlohmann::ordered_json& summary,
                                         std::initializer_list<const char*> path);

std::string SpacingPicture(const ReportData& data, Direction direction);
std::string HistogramPicture(const ReportData& data, Direction direction);
std::string SeqPicture(const ReportData& data);
std::string RepliesPicture(const ReportData& data);
std::string LoadCountsPicture(const ReportData& data);
std::string LoadLatencyPicture(const ReportData& data);
std::string ScenarioPicture(const ReportData& data);

}  // namespace peer
