#pragma once
// How long a run is planned to last, where that is known before it runs: the share of it done is
// shown beside the elapsed time.

#include <cstdint>
#include <optional>

#include "peer/scenario/Scenario.h"

namespace peer {

// The time `bytes` of voice take to stream, a chunk of 400 bytes every 47 ms.
double StreamingSeconds(std::uint64_t bytes);

// The time the open file `fd` takes to stream; none when it cannot be told.
std::optional<double> StreamingSeconds(int fd);

// A scenario's waits: its wait steps, and each wait for a stream to end as long as that stream
// still has to run, the streams' files taken as they are now. Expectations are met when they
// are met, so they count nothing. None when a stream file cannot be looked at or nothing waits.
std::optional<double> PlannedSeconds(const Scenario& scenario);

}  // namespace peer
