#pragma once
// The HTML report of a capture (report -o): each conversation drawn as a live run's report is,
// from the same datagrams the figures take, with each request's reply from the conversation's
// matching of requests and replies.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "peer/capture/CaptureReading.h"
#include "peer/report/ReportCollector.h"

namespace peer {

class CaptureReport {
  public:
    // A page this long would be more than anyone reads: the rest are named on standard output,
    // and --conversation draws any one of them.
    static constexpr std::size_t kDrawnConversations = 100;

    // Between the two readings (CaptureReading::Survey and Replay): a collector on each of the
    // first kDrawnConversations conversations.
    explicit CaptureReport(const CaptureReading& reading);

    // After the second reading: the page, with the capture's file, the command line and the
    // capture's own figures at its head.
    std::string Render(const CaptureReading& reading, const std::string& commandLine);

  private:
    std::vector<std::unique_ptr<ReportCollector>> collectors_;
};

}  // namespace peer
