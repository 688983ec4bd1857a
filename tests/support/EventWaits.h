#pragma once
// Bounded waits that keep Qt's event loop running, so the window under test can work meanwhile.

#include <chrono>
#include <functional>

namespace testsupport {

using namespace std::chrono_literals;

// Dispatches events until `condition` holds or `timeout` passes; returns whether it held.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s);

// Dispatches events for `duration`.
void Pump(std::chrono::milliseconds duration);

}  // namespace testsupport
