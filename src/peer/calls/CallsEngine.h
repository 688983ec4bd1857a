#pragma once
// Places the calls and runs every one of them from one thread: one epoll for all the calls'
// sockets, the signals and one timerfd, armed for the earliest deadline of a heap that holds each
// call's next one (a voice chunk, a reply's time, the talk time's end) and the next call's start.
// Every voice chunk is sent on its own absolute deadline; what arrives is read into one receive
// area shared by all sockets.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <queue>
#include <string>
#include <vector>

#include "peer/calls/CallPhone.h"
#include "peer/calls/CallPlan.h"
#include "peer/calls/PhoneSocket.h"
#include "peer/session/EventLoop.h"
#include "peer/session/ManySocketsWait.h"
#include "peer/session/Signals.h"

namespace peer {

struct CallsPace {
    std::optional<std::uint64_t> calls;  // none: until the duration ends
    std::optional<double> duration;      // seconds in which calls are started
    std::uint32_t concurrent = 10;
    double rate = 10;  // new calls a second
    int receiveBufferBytes = 0;
};

class CallsEngine {
  public:
    // The grace a call that is up gets for its Disconnect's reply after a signal.
    static constexpr double kInterruptGrace = 0.12;

    // Raises the open-file limit as far as allowed and makes sure `pace.concurrent` sockets can
    // be had at once; UsageError when not, before anything is sent.
    static void MakeRoom(std::uint32_t concurrent);

    using Ended = std::function<void(CallResult&&)>;
    CallsEngine(SignalWatch& signals, CallPlan& plan, const CallSetup& base, CallsPace pace,
                Ended ended);
    ~CallsEngine();
    CallsEngine(const CallsEngine&) = delete;
    CallsEngine& operator=(const CallsEngine&) = delete;

    void SetTicker(LoopTicker* ticker) { ticker_ = ticker; }

    // Until every call ended; true when a signal cut the run short.
    bool Run();

    std::uint64_t Started() const { return started_; }
    std::uint64_t Up() const { return up_; }
    std::uint64_t MostUp() const { return mostUp_; }
    double FirstStart() const { return firstStart_; }
    // Why no more calls could be placed (a socket the system refused); empty: none.
    const std::string& SocketError() const { return socketError_; }
    // The worst of the calls' receive spacing p99 since last asked (calls that ended meanwhile
    // included); none: nothing measured.
    std::optional<double> TakeWorstIntervalP99();

  private:
    struct Slot {
        std::unique_ptr<CallPhone> phone;
        std::uint16_t port = 0;  // from --local-ports; 0: none
        std::uint32_t generation = 0;
        double scheduled = CallPhone::kNever;
    };
    struct Wake {
        double at;
        std::uint32_t slot;
        std::uint32_t generation;
        bool operator>(const Wake& other) const { return at > other.at; }
    };

    bool StartingOver(double now) const;
    void StartCall(double now);
    void Schedule(std::uint32_t slot);
    void EndIfDone(std::uint32_t slot);
    void RunDue(double now);
    void Interrupt(double now);

    SignalWatch& signals_;
    CallPlan& plan_;
    CallSetup base_;
    CallsPace pace_;
    Ended ended_;
    LoopTicker* ticker_ = nullptr;

    ManySocketsWait wait_;
    ReceiveArea area_;
    std::vector<Slot> slots_;
    std::vector<std::uint32_t> freeSlots_;
    std::priority_queue<Wake, std::vector<Wake>, std::greater<>> wakes_;

    double start_ = 0, firstStart_ = 0, nextStart_ = 0;
    std::uint64_t started_ = 0, up_ = 0, mostUp_ = 0;
    bool interrupted_ = false;
    double interruptedAt_ = 0;
    std::string socketError_;
    std::optional<double> endedWorstP99_;
};

}  // namespace peer
