#pragma once
// The HTML report: one self-contained file with no script, that asks for nothing from anywhere
// when opened (its own policy forbids it), readable in a light and a dark colour scheme.

#include <string>

#include "peer/report/ReportData.h"

namespace peer {

std::string RenderReport(const ReportData& data);

}  // namespace peer
