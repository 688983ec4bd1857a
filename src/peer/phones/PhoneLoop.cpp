#include "peer/phones/PhoneLoop.h"

#include <algorithm>
#include <cmath>

#include "peer/Clock.h"

namespace peer {
namespace {

// Datagrams taken from one socket at a time, as EventLoop does.
constexpr std::size_t kPhoneBatch = 256;

}  // namespace

PhoneLoop::PhoneLoop(SignalWatch& signals, std::vector<Phone> phones, LoopTicker* ticker)
    : signals_(signals),
      phones_(std::move(phones)),
      ticker_(ticker),
      scheduled_(phones_.size(), EventLoop::kNever),
      wait_(signals, "phones' sockets") {
    for (std::size_t i = 0; i < phones_.size(); ++i) {
        wait_.Watch(phones_[i].wire->Descriptor(), i);
    }
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
        wait_.Arm(wake);
        // Nothing may be taken once the limit is reached: the loop ends on `done` first, so a
        // socket left ready cannot keep it spinning.
        const std::span<const std::uint64_t> ready = wait_.Wait();
        if (!std::isfinite(tapsWake)) {
            for (std::size_t i = 0; i < ready.size(); ++i) {
                if (i % kReadySocketsBetweenSends == 0 && !done()) {
                    ActDue(MonotonicSeconds());
                }
                Take(static_cast<std::size_t>(ready[i]), work);
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
