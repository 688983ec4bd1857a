#pragma once
// The one wait of a session or a scenario: its sockets, the signals, and a timer for whatever is
// next due on an absolute monotonic deadline (the voice schedule, a late chunk).

#include <functional>
#include <limits>
#include <span>

#include "peer/session/Signals.h"
#include "peer/session/Wire.h"

namespace peer {

// Something done on a clock of its own while the loop waits, whatever the work: the running
// figures drawn on the terminal or printed every few seconds.
class LoopTicker {
  public:
    virtual ~LoopTicker() = default;
    virtual double NextDue() const = 0;  // monotonic seconds; infinity: never
    virtual void Tick(double now) = 0;
};

class EventLoop {
  public:
    explicit EventLoop(SignalWatch& signals);
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    enum class Stop { Condition, Deadline, Signal };
    static constexpr double kNever = std::numeric_limits<double>::infinity();

    struct Work {
        // Each received datagram, after the wire's taps; replies queued here go out per batch.
        std::function<void(Wire&, const DatagramEvent&)> handle;
        // When `act` next has something to do (monotonic seconds; kNever: nothing).
        std::function<double()> nextDue;
        std::function<void(double now)> act;
        // At most how many datagrams may be taken now (none given: a batch); 0 leaves them queued.
        std::function<std::size_t()> receiveLimit;
    };

    // Works until `done` holds, the monotonic clock reaches `deadline`, or a signal comes.
    Stop RunUntil(std::span<Wire* const> wires, const Work& work, const std::function<bool()>& done,
                  double deadline = kNever);

    // Wakes for `ticker` too (null: nothing).
    void SetTicker(LoopTicker* ticker) { ticker_ = ticker; }

  private:
    SignalWatch& signals_;
    int timerFd_ = -1;
    LoopTicker* ticker_ = nullptr;
};

}  // namespace peer
