#pragma once
// The one wait of many phones on one thread: every phone's socket on one epoll, the signals, and
// one timer for the earliest deadline over all phones, taken from a heap of their next deadlines,
// so that a wake costs what is ready or due, not a look at every phone.

#include <cstdint>
#include <functional>
#include <queue>
#include <vector>

#include "peer/session/EventLoop.h"
#include "peer/session/ManySocketsWait.h"
#include "peer/session/Session.h"
#include "peer/session/Signals.h"
#include "peer/session/Wire.h"

namespace peer {

class PhoneLoop {
  public:
    struct Phone {
        Wire* wire = nullptr;
        Session* session = nullptr;
    };
    using Stop = EventLoop::Stop;

    // `ticker` (null: none) is done while the loop waits, as EventLoop does it.
    PhoneLoop(SignalWatch& signals, std::vector<Phone> phones, LoopTicker* ticker);
    PhoneLoop(const PhoneLoop&) = delete;
    PhoneLoop& operator=(const PhoneLoop&) = delete;

    struct Work {
        // Each received datagram of phone `phone`, after the wire's taps.
        std::function<void(std::size_t phone, const DatagramEvent&)> handle;
        // At most how many datagrams may be taken now, over all phones.
        std::function<std::size_t()> receiveLimit;
    };
    // Works until `done` holds, the monotonic clock reaches `deadline`, or a signal comes.
    Stop RunUntil(const Work& work, const std::function<bool()>& done, double deadline);

  private:
    struct Due {
        double at;
        std::size_t phone;
        bool operator>(const Due& other) const { return at > other.at; }
    };
    // Takes the phone's next deadline into the heap when it changed; the entry it had goes stale.
    void Schedule(std::size_t phone);
    void ActDue(double now);
    double EarliestDue();
    void Take(std::size_t phone, const Work& work);

    SignalWatch& signals_;
    std::vector<Phone> phones_;
    LoopTicker* ticker_;
    std::priority_queue<Due, std::vector<Due>, std::greater<>> heap_;
    std::vector<double> scheduled_;  // each phone's deadline as the heap holds it
    ManySocketsWait wait_;
};

}  // namespace peer
