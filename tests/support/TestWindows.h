#pragma once
// Main windows for tests: built from a variant of the stored description that never reaches
// beyond loopback.

#include <cstdint>
#include <memory>
#include <string>

#include "app/FormDescription.h"
#include "app/MainForm.h"

namespace testsupport {

// The stored description with the socket on a free port and eIP on a loopback address, so the
// window can neither collide with another test nor send anywhere else.
FormDescription LoopbackForm1(const std::string& eIP = "127.0.0.1", std::int32_t localPort = 0,
                              std::int32_t remotePort = 20080);

std::unique_ptr<TForm1> MakeWindow(const std::string& eIP = "127.0.0.1",
                                   std::int32_t remotePort = 20080);

// The port the window's socket is bound to.
std::uint16_t BoundPort(const TForm1& window);

}  // namespace testsupport
