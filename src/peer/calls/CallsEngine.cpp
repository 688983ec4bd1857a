#include "peer/calls/CallsEngine.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "peer/Clock.h"
#include "peer/PeerError.h"

namespace peer {
namespace {

// How far behind its schedule a start may be and still be followed by the next one at once.
constexpr double kStartsCatchUp = 0.01;

}  // namespace

void CallsEngine::MakeRoom(std::uint32_t concurrent) {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    std::vector<int> held;
    held.reserve(concurrent);
    std::string error;
    while (held.size() < concurrent) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = SystemMessage("--concurrent " + std::to_string(concurrent) + ": only " +
                                  std::to_string(held.size()) + " sockets could be had at once");
            break;
        }
        held.push_back(fd);
    }
    for (const int fd : held) {
        ::close(fd);
    }
    if (!error.empty()) {
        throw UsageError(error);
    }
}

CallsEngine::CallsEngine(SignalWatch& signals, CallPlan& plan, const CallSetup& base,
                         CallsPace pace, Ended ended)
    : signals_(signals),
      plan_(plan),
      base_(base),
      pace_(pace),
      ended_(std::move(ended)),
      wait_(signals, "calls' sockets") {
    slots_.reserve(pace_.concurrent);
}

CallsEngine::~CallsEngine() {
    slots_.clear();
}

bool CallsEngine::StartingOver(double now) const {
    return interrupted_ || !socketError_.empty() || (pace_.calls && started_ >= *pace_.calls) ||
           (pace_.duration && now - start_ >= *pace_.duration);
}

void CallsEngine::StartCall(double now) {
    const CallPlace place = plan_.Place(started_);
    std::optional<PhoneSocket> socket;
    std::uint16_t port = 0;
    std::string error;
    // A port of the range another program holds is passed over for the next.
    for (int tries = 0; !socket && tries < 65536; ++tries) {
        const std::optional<std::uint16_t> taken = plan_.TakePort();
        if (!taken) {
            break;
        }
        port = *taken;
        socket = PhoneSocket::Open(place.from, port, pace_.receiveBufferBytes, error);
        if (!socket && port != 0) {
            plan_.Release(port);
        }
        if (!socket && (port == 0 || errno != EADDRINUSE)) {
            break;
        }
    }
    if (!socket) {
        socketError_ = error.empty() ? "no free port left in --local-ports" : error;
        return;
    }
    std::uint32_t slot = 0;
    if (freeSlots_.empty()) {
        slot = static_cast<std::uint32_t>(slots_.size());
        slots_.emplace_back();
    } else {
        slot = freeSlots_.back();
        freeSlots_.pop_back();
    }
    CallSetup setup = base_;
    setup.index = started_;
    setup.to = place.to;
    setup.target = place.target;
    setup.shownSource = plan_.RouteSource();
    Slot& s = slots_[slot];
    s.phone = std::make_unique<CallPhone>(setup, std::move(*socket));
    s.port = port;
    s.scheduled = CallPhone::kNever;
    wait_.Watch(s.phone->Socket().Descriptor(), slot);
    if (started_ == 0) {
        firstStart_ = now;
    }
    ++started_;
    ++up_;
    mostUp_ = std::max(mostUp_, up_);
    // On a schedule of its own, so that the time each start takes does not slow the rate; a
    // start held back (by --concurrent, or a busy core) does not make up for more than
    // kStartsCatchUp.
    nextStart_ = std::max(nextStart_ + 1.0 / pace_.rate, now - kStartsCatchUp);
    s.phone->Start(now);
    Schedule(slot);
}

void CallsEngine::Schedule(std::uint32_t slot) {
    Slot& s = slots_[slot];
    const double wake = s.phone->NextWake();
    if (wake == s.scheduled) {
        return;
    }
    // The entry pushed before is stale now; it is skipped when it comes up.
    s.scheduled = wake;
    ++s.generation;
    if (std::isfinite(wake)) {
        wakes_.push({wake, slot, s.generation});
    }
}

void CallsEngine::EndIfDone(std::uint32_t slot) {
    Slot& s = slots_[slot];
    if (!s.phone->Done()) {
        Schedule(slot);
        return;
    }
    wait_.Forget(s.phone->Socket().Descriptor());
    CallResult result = s.phone->Finish();
    if (const auto p99 = s.phone->TakeIntervalP99()) {
        endedWorstP99_ = std::max(endedWorstP99_.value_or(0), *p99);
    }
    s.phone.reset();
    if (s.port != 0) {
        plan_.Release(s.port);
    }
    ++s.generation;
    s.scheduled = CallPhone::kNever;
    freeSlots_.push_back(slot);
    --up_;
    ended_(std::move(result));
}

void CallsEngine::RunDue(double now) {
    while (!wakes_.empty() && wakes_.top().at <= now) {
        const Wake wake = wakes_.top();
        wakes_.pop();
        Slot& s = slots_[wake.slot];
        if (!s.phone || wake.generation != s.generation) {
            continue;
        }
        s.scheduled = CallPhone::kNever;
        s.phone->Act(now);
        EndIfDone(wake.slot);
    }
}

void CallsEngine::Interrupt(double now) {
    interrupted_ = true;
    interruptedAt_ = now;
    for (std::uint32_t slot = 0; slot < slots_.size(); ++slot) {
        if (slots_[slot].phone) {
            slots_[slot].phone->Interrupt(now, kInterruptGrace);
            EndIfDone(slot);
        }
    }
}

std::optional<double> CallsEngine::TakeWorstIntervalP99() {
    std::optional<double> worst = endedWorstP99_;
    endedWorstP99_.reset();
    for (Slot& s : slots_) {
        if (s.phone) {
            if (const auto p99 = s.phone->TakeIntervalP99()) {
                worst = std::max(worst.value_or(0), *p99);
            }
        }
    }
    return worst;
}

bool CallsEngine::Run() {
    start_ = nextStart_ = MonotonicSeconds();
    for (;;) {
        double now = MonotonicSeconds();
        // Read every time: a second signal would otherwise keep the descriptor ready.
        if (signals_.Caught() && !interrupted_) {
            Interrupt(now);
        }
        RunDue(now);
        const bool starting = !StartingOver(now);
        while (!StartingOver(now) && up_ < pace_.concurrent && nextStart_ <= now) {
            StartCall(now);
            now = MonotonicSeconds();
        }
        if (up_ == 0 && StartingOver(now)) {
            break;
        }
        if (ticker_ != nullptr && ticker_->NextDue() <= now) {
            ticker_->Tick(now);
        }
        double wake = wakes_.empty() ? CallPhone::kNever : wakes_.top().at;
        if (starting && up_ < pace_.concurrent) {
            wake = std::min(wake, nextStart_);
        }
        if (starting && pace_.duration) {
            wake = std::min(wake, start_ + *pace_.duration);
        }
        if (ticker_ != nullptr) {
            wake = std::min(wake, ticker_->NextDue());
        }
        if (wake <= MonotonicSeconds()) {
            continue;
        }
        wait_.Arm(wake);
        const std::span<const std::uint64_t> ready = wait_.Wait();
        for (std::size_t i = 0; i < ready.size(); ++i) {
            if (i % kReadySocketsBetweenSends == 0) {
                now = MonotonicSeconds();
                RunDue(now);
            }
            const auto slot = static_cast<std::uint32_t>(ready[i]);
            if (slot >= slots_.size() || !slots_[slot].phone) {
                continue;
            }
            CallPhone& phone = *slots_[slot].phone;
            for (const Arrival& arrival : area_.Take(phone.Socket())) {
                phone.Take(arrival, now);
            }
            EndIfDone(slot);
        }
    }
    return interrupted_;
}

}  // namespace peer
