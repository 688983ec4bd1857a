#pragma once
// What came from the endpoint while no step waited for it, kept for the expectations of later
// steps, in the order it came. A run of datagrams that no expectation can tell apart (a stream's
// voice, one datagram again and again) is kept as one entry with its count, and only the latest
// entries are kept at all: those pushed out are unexpected for good. A flood leaves the run's
// memory where it was.

#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "peer/DatagramLook.h"
#include "peer/figures/Unexpected.h"

namespace peer {

struct Arrival {
    DatagramLook look;
    std::size_t size = 0;
    sockaddr_in from{};
    std::uint64_t order = 0;  // the how-manieth datagram of the run it was
};

class ArrivalPool {
  public:
    explicit ArrivalPool(std::size_t entries = 4096) : entries_(entries) {}

    void Add(const Arrival& arrival);
    // Takes the first arrival that `matches`, or with `all` every one: how many it took. Arrivals
    // of one entry look the same to `matches` but for a voice datagram's Seq.
    std::uint64_t Take(const std::function<bool(const Arrival&)>& matches, bool all);

    // Still kept, and pushed out.
    std::uint64_t Count() const { return count_; }
    const Unexpected& PushedOut() const { return pushedOut_; }
    // The latest kept arrival that `matches`.
    std::optional<Arrival> Latest(const std::function<bool(const Arrival&)>& matches) const;
    // The first `count` kept, described, with their orders.
    std::vector<std::pair<std::uint64_t, std::string>> First(std::size_t count) const;

  private:
    // `count` arrivals that came one after the other: the first, and each next the same with the
    // next voice Seq (`stepping`) or with the same Seq.
    struct Entry {
        Arrival first;
        std::uint64_t count = 1;
        bool stepping = false;
        Arrival Nth(std::uint64_t n) const;
    };
    static bool Follows(const Entry& entry, const Arrival& arrival, bool& stepping);

    std::size_t entries_;
    std::deque<Entry> kept_;
    std::uint64_t count_ = 0;
    Unexpected pushedOut_;
};

}  // namespace peer
