#pragma once
// Datagrams a run did not count, and why: every one is counted, but only the first few are kept,
// as text, so that a flood cannot grow the run's memory.

#include <netinet/in.h>

#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "peer/DatagramLook.h"
#include "peer/session/Wire.h"

namespace peer {

// Whether a datagram came from `peer`: its address and its port.
inline bool FromEndpoint(const DatagramEvent& event, const sockaddr_in& peer) {
    return event.peer.sin_addr.s_addr == peer.sin_addr.s_addr &&
           event.peer.sin_port == peer.sin_port;
}

// "reply ring status=1 target=1 seq=1 size=12 from 192.0.2.7:20080"
std::string Describe(const DatagramLook& look, std::size_t size, const sockaddr_in& from);

class Unexpected {
  public:
    static constexpr std::size_t kListed = 10;

    // `order` places it among others listed: the arrival's number, for a run that lists
    // datagrams of two kinds in the order they came.
    void Add(const DatagramEvent& event, const char* reason, std::uint64_t order = 0);
    // One more, described by `describe` only while there is room in the list.
    template <class Describer>
    void Add(std::uint64_t order, const Describer& describe) {
        ++count_;
        if (listed_.size() < kListed) {
            listed_.emplace_back(order, describe());
        }
    }
    std::uint64_t Count() const { return count_; }
    // The first kListed, with their orders.
    const std::vector<std::pair<std::uint64_t, std::string>>& Listed() const { return listed_; }
    nlohmann::ordered_json List() const;

    // The first kListed of several lists together, in their order.
    static nlohmann::ordered_json Merged(
        std::initializer_list<const std::vector<std::pair<std::uint64_t, std::string>>*> lists);

  private:
    std::uint64_t count_ = 0;
    std::vector<std::pair<std::uint64_t, std::string>> listed_;
};

}  // namespace peer
