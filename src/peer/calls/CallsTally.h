#pragma once
// The figures over all calls, gathered as each call ends: counts, failures by reason, the
// distribution over calls of their receive spacing p99, the peer's own pace (stalls, receive
// drops), and the rows of the report's time line.

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "peer/calls/CallResult.h"
#include "peer/checks/Verdict.h"
#include "peer/figures/Figures.h"

namespace peer {

struct TimelineRow {
    double start = 0, end = 0;
    bool failed = false;
    std::string title;
};

class CallsTally {
  public:
    // Rows drawn at most: a picture of thousands of calls would be too large to open.
    static constexpr std::size_t kDrawnRows = 300;
    static constexpr const char* kPaceReason = "the peer could not keep pace";

    void Add(const CallResult& call);

    std::uint64_t Attempted() const { return attempted_; }
    std::uint64_t Completed() const { return completed_; }
    std::uint64_t Stalls() const { return stalls_; }
    std::uint64_t ReceiveDrops() const { return receiveDrops_; }
    // The peer kept its own schedule: no send later than a period, no datagram dropped.
    bool KeptPace() const { return stalls_ == 0 && receiveDrops_ == 0; }

    // The summary's figures; `seconds` the time calls were up, `mostUp` the most at once.
    nlohmann::ordered_json Json(double seconds, std::uint64_t mostUp) const;
    // The run's checks: the calls, then the peer's pace. A run that could not keep pace blames
    // only itself, never the device.
    void Judge(Verdict& verdict) const;

    const std::vector<TimelineRow>& Rows() const { return rows_; }
    std::uint64_t RowsLeftOut() const { return attempted_ - rows_.size(); }

  private:
    std::uint64_t attempted_ = 0, completed_ = 0, interrupted_ = 0;
    std::array<std::uint64_t, 6> failed_{};  // by Failure, None and Interrupted unused
    std::uint64_t stalls_ = 0, receiveDrops_ = 0, sendErrors_ = 0, unexpected_ = 0;
    std::uint64_t voiceSent_ = 0, voiceReceived_ = 0;
    std::uint64_t seqEvents_ = 0;
    Samples receiveP99_, setup_;
    std::vector<TimelineRow> rows_;
};

// The calls as a time line, one row per call from its Ring to its Disconnect's reply, failures
// in red; a section of the HTML report.
std::string TimelineSection(const CallsTally& tally, double span);

}  // namespace peer
