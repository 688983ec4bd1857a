#include "peer/phones/PhoneLoop.h"

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

constexpr std::uint64_t kPhoneSignalMark = UINT64_MAX;
constexpr std::uint64_t kPhoneTimerMark = UINT64_MAX - 1;
// Datagrams taken from one socket at a time, as EventLoop does.
constexpr std::size_t kPhoneBatch = 256;
constexpr int kPhoneEventsPerWait = 256;

void WaitFor(int epoll, int fd, std::uint64_t mark) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = mark;
    if (::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
        throw UsageError(SystemMessage("cannot wait on the phones' sockets"));
    }
}

}  // namespace

PhoneLoop::PhoneLoop(SignalWatch& signals, std::vector<Phone> phones, LoopTicker* ticker)
    : signals_(signals),
      phones_(std::move(phones)),
      ticker_(ticker),
      scheduled_(phones_.size(), EventLoop::kNever) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (epoll_ < 0 || timer_ < 0) {
        const std::string message = SystemMessage("cannot make the phones' wait");
        ::close(epoll_);
        ::close(timer_);
        throw UsageError(message);
    }
    try {
        WaitFor(epoll_, signals_.Descriptor(), kPhoneSignalMark);
        WaitFor(epoll_, timer_, kPhoneTimerMark);
        for (std::size_t i = 0; i < phones_.size(); ++i) {
            WaitFor(epoll_, phones_[i].wire->Descriptor(), i);
        }
    } catch (...) {
        ::close(epoll_);
        ::close(timer_);
        throw;
    }
}

PhoneLoop::~PhoneLoop() {
    ::close(epoll_);
    ::close(timer_);
}

void PhoneLoop::Schedule(std::size_t phone) {
    const double due = phones_[phone].session->NextDue();
    if (due == scheduled_[phone]) {
        return;
    }
    scheduled_[phone] = due;
    if (std::isfinite(due)) {
        heap_.push({due, phone});
    }
}

double PhoneLoop::EarliestDue() {
    // Stale entries (a phone whose deadline moved since) go as they come to the top.
    while (!heap_.empty() && heap_.top().at != scheduled_[heap_.top().phone]) {
        heap_.pop();
    }
    return heap_.empty() ? EventLoop::kNever : heap_.top().at;
}

void PhoneLoop::ActDue(double now) {
    while (EarliestDue() <= now) {
        const std::size_t phone = heap_.top().phone;
        heap_.pop();
        scheduled_[phone] = EventLoop::kNever;
        phones_[phone].session->Act(now);
        Schedule(phone);
    }
}

void PhoneLoop::Arm(double wake) {
    if (wake == armed_) {
        return;
    }
    armed_ = wake;
    itimerspec timer{};
    if (std::isfinite(wake)) {
        timer.it_value = ToTimespec(wake);
    }
    ::timerfd_settime(timer_, TFD_TIMER_ABSTIME, &timer, nullptr);
}

void PhoneLoop::Take(std::size_t phone, const Work& work) {
    Wire& wire = *phones_[phone].wire;
    const std::size_t limit = std::min(work.receiveLimit(), kPhoneBatch);
    wire.Receive([&](const DatagramEvent& event) { work.handle(phone, event); }, limit);
    wire.Flush();
    Schedule(phone);
}

PhoneLoop::Stop PhoneLoop::RunUntil(const Work& work, const std::function<bool()>& done,
                                    double deadline) {
    for (std::size_t i = 0; i < phones_.size(); ++i) {
        Schedule(i);
    }
    epoll_event events[kPhoneEventsPerWait];
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
        ActDue(now);
        // Every phone's socket has the run's taps, so the first tells when they want a look.
        const double tapsWake = phones_.front().wire->WakeAt();
        double wake = std::min({EarliestDue(), tapsWake, deadline});
        if (ticker_ != nullptr) {
            wake = std::min(wake, ticker_->NextDue());
        }
        Arm(wake);
        // Nothing may be taken once the limit is reached: the loop ends on `done` first, so a
        // socket left ready cannot keep it spinning.
        const int ready = ::epoll_wait(epoll_, events, kPhoneEventsPerWait, -1);
        if (ready < 0 && errno != EINTR) {
            throw UsageError(SystemMessage("cannot wait on the phones' sockets"));
        }
        for (int i = 0; i < ready; ++i) {
            const std::uint64_t mark = events[i].data.u64;
            if (mark == kPhoneTimerMark) {
                std::uint64_t expirations = 0;
                [[maybe_unused]] ssize_t ignored = ::read(timer_, &expirations, sizeof expirations);
                armed_ = EventLoop::kNever;
            } else if (mark != kPhoneSignalMark && !std::isfinite(tapsWake)) {
                Take(static_cast<std::size_t>(mark), work);
            }
        }
        if (std::isfinite(tapsWake)) {
            // A tap that waits to learn every socket was drained (the capture) looks at them all.
            for (std::size_t phone = 0; phone < phones_.size(); ++phone) {
                Take(phone, work);
            }
        }
    }
}

}  // namespace peer
