#pragma once
// The wait of one thread for many sockets: one epoll that holds each socket under a key of the
// caller's, the signals, and one timer armed for an absolute deadline on the monotonic clock. A
// wake costs what is ready, not a look at every socket; many calls and many phones wait on it.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "peer/session/Signals.h"

namespace peer {

// How many ready sockets a wake drains between two looks at the voice that has fallen due: a late
// reply costs nothing, a late send costs the spacing of every call behind it.
constexpr std::size_t kReadySocketsBetweenSends = 16;

class ManySocketsWait {
  public:
    // UsageError, naming `what` waits, when the epoll or the timer cannot be made.
    ManySocketsWait(SignalWatch& signals, const std::string& what);
    ~ManySocketsWait();
    ManySocketsWait(const ManySocketsWait&) = delete;
    ManySocketsWait& operator=(const ManySocketsWait&) = delete;

    // `key` is what Wait gives when `fd` is ready; UsageError when it cannot be watched.
    void Watch(int fd, std::uint64_t key);
    void Forget(int fd);
    // The timer falls due at `at` (monotonic seconds; infinity: never).
    void Arm(double at);
    // Until a socket is ready, the timer falls due or a signal comes: the keys of the sockets
    // ready, valid until the next Wait.
    std::span<const std::uint64_t> Wait();

  private:
    int epoll_ = -1;
    int timer_ = -1;
    double armed_ = std::numeric_limits<double>::infinity();
    std::string what_;
    std::vector<std::uint64_t> ready_;
};

}  // namespace peer
