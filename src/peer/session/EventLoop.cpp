#include "peer/session/EventLoop.h"

#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <vector>

#include "peer/Clock.h"
#include "peer/PeerError.h"

namespace peer {
namespace {

// Datagrams taken from a socket at a time before the timer and the signals are looked at again.
constexpr std::size_t kTakenAtOnce = 256;

}  // namespace

EventLoop::EventLoop(SignalWatch& signals) : signals_(signals) {
    timerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timerFd_ < 0) {
        throw UsageError(SystemMessage("cannot make a timer"));
    }
}

EventLoop::~EventLoop() {
    ::close(timerFd_);
}

EventLoop::Stop EventLoop::RunUntil(std::span<Wire* const> wires, const Work& work,
                                    const std::function<bool()>& done, double deadline) {
    std::vector<pollfd> watched;
    for (;;) {
        if (done()) {
            return Stop::Condition;
        }
        if (signals_.Caught()) {
            return Stop::Signal;
        }
        const double now = MonotonicSeconds();
        if (now >= deadline) {
            return Stop::Deadline;
        }
        if (ticker_ != nullptr && ticker_->NextDue() <= now) {
            ticker_->Tick(now);
        }
        const double due = work.nextDue ? work.nextDue() : kNever;
        if (due <= now) {
            work.act(now);
            continue;
        }
        // The due time is absolute, on the timer; everything else can wait on poll's. A tap that
        // holds something back until the sockets are found empty again (the capture, to write
        // its records in time order) wakes the loop too.
        double wake = ticker_ != nullptr ? std::min(due, ticker_->NextDue()) : due;
        for (const Wire* wire : wires) {
            wake = std::min(wake, wire->WakeAt());
        }
        itimerspec timer{};
        if (std::isfinite(wake)) {
            timer.it_value = ToTimespec(wake);
        }
        ::timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &timer, nullptr);
        watched.clear();
        const auto limit = [&] {
            return work.receiveLimit ? std::min(work.receiveLimit(), kTakenAtOnce) : kTakenAtOnce;
        };
        for (Wire* wire : wires) {
            // A socket whose datagrams may not be taken is not waited on: it would stay ready.
            watched.push_back({limit() > 0 ? wire->Descriptor() : -1, POLLIN, 0});
        }
        watched.push_back({signals_.Descriptor(), POLLIN, 0});
        watched.push_back({timerFd_, POLLIN, 0});
        const timespec timeout = ToTimespec(std::min(deadline - now, 3600.0));
        if (::ppoll(watched.data(), watched.size(), &timeout, nullptr) < 0 && errno != EINTR) {
            throw UsageError(SystemMessage("cannot wait on the socket"));
        }
        // Also a socket poll found empty, where a tap waits to learn that it was drained.
        for (std::size_t i = 0; i < wires.size(); ++i) {
            Wire& wire = *wires[i];
            if (watched[i].revents != 0 || std::isfinite(wire.WakeAt())) {
                wire.Receive([&](const DatagramEvent& event) { work.handle(wire, event); },
                             limit());
                wire.Flush();
            }
        }
        if (watched.back().revents != 0) {
            std::uint64_t expirations = 0;
            [[maybe_unused]] ssize_t ignored = ::read(timerFd_, &expirations, sizeof expirations);
        }
    }
}

}  // namespace peer
