#include "peer/calls/CallPlan.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "peer/Addresses.h"

namespace peer {

CallPlan::CallPlan(const in_addr& host, NumberRange ports, const CallsOptions& options)
    : host_(host),
      ports_(ports),
      targets_(options.targets),
      binds_(options.bindAddresses),
      anyPort_(!options.localPorts) {
    // A UDP socket connected there asks the routing without sending anything.
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
        const sockaddr_in to = MakeEndpoint(host, static_cast<std::uint16_t>(ports.first));
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (::connect(probe, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
            ::getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
            routeSource_ = local.sin_addr;
        }
        ::close(probe);
    }
    if (options.localPorts) {
        for (std::int64_t port = options.localPorts->first; port <= options.localPorts->last;
             ++port) {
            freePorts_.push_back(static_cast<std::uint16_t>(port));
        }
    }
}

CallPlace CallPlan::Place(std::uint64_t index) const {
    CallPlace place;
    place.to = MakeEndpoint(host_, static_cast<std::uint16_t>(ports_.At(index)));
    place.target = static_cast<std::int32_t>(targets_.At(index));
    place.from.s_addr =
        binds_ ? htonl(static_cast<std::uint32_t>(binds_->At(index))) : htonl(INADDR_ANY);
    return place;
}

std::optional<std::uint16_t> CallPlan::TakePort() {
    if (anyPort_) {
        return 0;
    }
    if (freeFront_ == freePorts_.size()) {
        return std::nullopt;
    }
    const std::uint16_t port = freePorts_[freeFront_++];
    if (freeFront_ > 1024 && freeFront_ * 2 > freePorts_.size()) {
        freePorts_.erase(freePorts_.begin(),
                         freePorts_.begin() + static_cast<std::ptrdiff_t>(freeFront_));
        freeFront_ = 0;
    }
    return port;
}

void CallPlan::Release(std::uint16_t port) {
    if (!anyPort_) {
        freePorts_.push_back(port);
    }
}

}  // namespace peer
