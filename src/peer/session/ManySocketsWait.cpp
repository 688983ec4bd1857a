#include "peer/session/ManySocketsWait.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "peer/Clock.h"
#include "peer/PeerError.h"

namespace peer {
namespace {

// Keys of the wait's own descriptors, apart from any socket's.
constexpr std::uint64_t kSignalKey = UINT64_MAX;
constexpr std::uint64_t kTimerKey = UINT64_MAX - 1;
constexpr int kEventsPerWait = 256;

}  // namespace

ManySocketsWait::ManySocketsWait(SignalWatch& signals, const std::string& what) : what_(what) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    try {
        if (epoll_ < 0 || timer_ < 0) {
            throw UsageError(SystemMessage("cannot make the wait of the " + what_));
        }
        Watch(signals.Descriptor(), kSignalKey);
        Watch(timer_, kTimerKey);
    } catch (...) {
        ::close(epoll_);
        ::close(timer_);
        throw;
    }
    ready_.reserve(kEventsPerWait);
}

ManySocketsWait::~ManySocketsWait() {
    ::close(timer_);
    ::close(epoll_);
}

void ManySocketsWait::Watch(int fd, std::uint64_t key) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = key;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
        throw UsageError(SystemMessage("cannot wait on the " + what_));
    }
}

void ManySocketsWait::Forget(int fd) {
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
}

void ManySocketsWait::Arm(double at) {
    if (at == armed_) {
        return;
    }
    armed_ = at;
    itimerspec timer{};
    if (std::isfinite(at)) {
        // An absolute time of zero would disarm it.
        timer.it_value = ToTimespec(std::max(at, 1e-9));
    }
    ::timerfd_settime(timer_, TFD_TIMER_ABSTIME, &timer, nullptr);
}

std::span<const std::uint64_t> ManySocketsWait::Wait() {
    epoll_event events[kEventsPerWait];
    const int ready = ::epoll_wait(epoll_, events, kEventsPerWait, -1);
    if (ready < 0 && errno != EINTR) {
        throw UsageError(SystemMessage("cannot wait on the " + what_));
    }
    ready_.clear();
    for (int i = 0; i < ready; ++i) {
        const std::uint64_t key = events[i].data.u64;
        if (key == kTimerKey) {
            std::uint64_t expirations = 0;
            [[maybe_unused]] const ssize_t ignored =
                ::read(timer_, &expirations, sizeof expirations);
            armed_ = std::numeric_limits<double>::infinity();
        } else if (key != kSignalKey) {
            ready_.push_back(key);
        }
    }
    return ready_;
}

}  // namespace peer
