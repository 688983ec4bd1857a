#include "peer/report/HtmlReportFile.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "peer/Clock.h"
#include "peer/report/ReportHtml.h"

namespace peer {

HtmlReportFile::HtmlReportFile(const std::string& path, std::string commandLine, double origin)
    : collector(origin),
      path_(path),
      commandLine_(std::move(commandLine)),
      startedAt_(RealtimeSeconds()),
      file_(OpenToWrite(path, "--report")) {}

std::optional<std::string> HtmlReportFile::Write(const nlohmann::ordered_json& summary,
                                                 const std::string& boundLocal,
                                                 double lengthSeconds) {
    ReportHead& head = collector.Data().head;
    head.commandLine = commandLine_;
    head.local = collector.LocalText().empty() ? boundLocal : collector.LocalText();
    head.peer = collector.PeersText();
    head.startedAt = startedAt_;
    head.lengthSeconds = lengthSeconds;
    head.TakeSummary(summary);
    const std::string html = RenderReport(collector.Data());
    if (WriteAll(file_.Get(), html.data(), html.size())) {
        return std::nullopt;
    }
    const std::string reason = std::strerror(errno);
    // Half a page would read as a whole one that says less: none at all says it failed.
    if (::ftruncate(file_.Get(), 0) != 0) {
        return "--report: cannot write \"" + path_ + "\": " + reason +
               "; what was written of it stays";
    }
    return "--report: cannot write \"" + path_ + "\": " + reason;
}

}  // namespace peer
