#pragma once
// --report of a live run: the collector that watches the wire from the start, and the HTML file,
// made (or emptied) before anything is sent and written once the summary is known, whole or not
// at all.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "peer/Files.h"
#include "peer/report/ReportCollector.h"

namespace peer {

class HtmlReportFile {
  public:
    // Opens `path` for writing (UsageError naming --report when it cannot be made). `origin`:
    // the monotonic seconds the run's event times count from; the run started now.
    HtmlReportFile(const std::string& path, std::string commandLine, double origin);

    ReportCollector collector;

    // Fills the head (the ends the datagrams showed, else `boundLocal`; the summary as printed,
    // with its verdict and reasons) and writes the page. A write that fails leaves the file
    // empty; then the reason.
    std::optional<std::string> Write(const nlohmann::ordered_json& summary,
                                     const std::string& boundLocal, double lengthSeconds);

  private:
    std::string path_;
    std::string commandLine_;
    double startedAt_;
    FileHandle file_;
};

}  // namespace peer
