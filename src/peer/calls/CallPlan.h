#pragma once
// Who each call is: the n-th call dials the n-th port of the host's range, the n-th target and
// leaves from the n-th bind address, each going round its own range; its local port is the next
// free one of --local-ports (none given: any the kernel picks).

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "peer/commands/Options.h"

namespace peer {

struct CallPlace {
    sockaddr_in to{};
    in_addr from{};
    std::int32_t target = 1;
};

class CallPlan {
  public:
    CallPlan(const in_addr& host, NumberRange ports, const CallsOptions& options);

    CallPlace Place(std::uint64_t index) const;
    // The address a call bound to 0.0.0.0 leaves from: the kernel's route choice towards the host.
    const in_addr& RouteSource() const { return routeSource_; }

    // A local port for a new call, taken until Release; 0: any. None when the range has no free
    // one left.
    std::optional<std::uint16_t> TakePort();
    // Also a port the system refused: tried again only after the others.
    void Release(std::uint16_t port);

  private:
    in_addr host_;
    in_addr routeSource_{};
    NumberRange ports_;
    NumberRange targets_;
    std::optional<NumberRange> binds_;
    std::vector<std::uint16_t> freePorts_;  // a queue: the longest free goes first
    std::size_t freeFront_ = 0;
    bool anyPort_;
};

}  // namespace peer
