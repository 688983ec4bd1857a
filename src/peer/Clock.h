#pragma once
// The peer's clocks: the monotonic one schedules and times everything; the real-time one is what
// the kernel stamps received datagrams with, so latencies against those stamps use it.

#include <ctime>

namespace peer {

double MonotonicSeconds();
double RealtimeSeconds();

// Both clocks at one moment: a datagram's time on the monotonic clock and its stamp on the
// real-time one, which a capture keeps. Read again where the process lost the processor between
// the two readings, so that the spacings of the stamps are the spacings of the times to within
// kClockPairing.
struct ClockPair {
    double monotonic = 0;
    double realtime = 0;
};
inline constexpr double kClockPairing = 1e-6;
ClockPair ReadBothClocks();
timespec ToTimespec(double seconds);
double FromTimespec(const timespec& time);

// Asks the kernel to wake the process as close to its deadlines as it can.
void TightenTimerSlack();

}  // namespace peer
