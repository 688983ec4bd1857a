#include "peer/Clock.h"

#include <sys/prctl.h>

#include <cerrno>
#include <cmath>

namespace peer {

double FromTimespec(const timespec& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
}

timespec ToTimespec(double seconds) {
    if (seconds < 0) {
        seconds = 0;
    }
    timespec time{};
    time.tv_sec = static_cast<time_t>(std::floor(seconds));
    time.tv_nsec = static_cast<long>((seconds - std::floor(seconds)) * 1e9);
    if (time.tv_nsec >= 1'000'000'000) {
        time.tv_sec += 1;
        time.tv_nsec -= 1'000'000'000;
    }
    return time;
}

double MonotonicSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return FromTimespec(now);
}

double RealtimeSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return FromTimespec(now);
}

ClockPair ReadBothClocks() {
    ClockPair best;
    double widest = 0;
    // A few tries: a reading is the more likely to be cut the busier the machine is, and what
    // four cuts in a row leave is still the narrowest of them.
    for (int attempt = 0; attempt < 4; ++attempt) {
        const double before = MonotonicSeconds();
        const double realtime = RealtimeSeconds();
        const double after = MonotonicSeconds();
        if (attempt == 0 || after - before < widest) {
            best = {before, realtime};
            widest = after - before;
        }
        if (widest <= kClockPairing) {
            break;
        }
    }
    return best;
}

void TightenTimerSlack() {
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

}  // namespace peer
