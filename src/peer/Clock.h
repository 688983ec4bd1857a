#pragma once
// The peer's clocks: the monotonic one schedules and times everything; the real-time one is what
// the kernel stamps received datagrams with, so latencies against those stamps use it.

#include <ctime>

namespace peer {

double MonotonicSeconds();
double RealtimeSeconds();
timespec ToTimespec(double seconds);
double FromTimespec(const timespec& time);

// Asks the kernel to wake the process as close to its deadlines as it can.
void TightenTimerSlack();

}  // namespace peer
