#pragma once
// What the process arranges before anything else runs.

#include <functional>
#include <memory>

namespace shell {

// Opens /dev/null onto any of descriptors 0 to 2 that is closed, so that no socket or file of the
// program can receive descriptor 0, which the program treats as "none".
void OpenStandardDescriptors();

// Returns `fd`, or for descriptor 0 a close-on-exec duplicate above 2, leaving /dev/null at 0.
// A handle counts as open only when greater than 0, so none may ever be 0.
int MoveAboveZero(int fd);

// Memory blocks of a megabyte or more go back to the system when freed. The memo's text buffer
// (8 MB when full) is copied afresh now and then; left to the allocator's own rule, the freed
// copies stay in the heap and count as resident for as long as the program runs.
void ReturnLargeBlocksWhenFreed();

// A write to a closed pipe or past the file-size limit then fails instead of killing the program.
void IgnoreWriteSignals();

// Turns SIGTERM, SIGHUP and SIGINT into a call of `onQuit` on the GUI thread. Needs the
// application object; keep the returned object alive for as long as the signals should count.
std::shared_ptr<void> InstallQuitSignals(std::function<void()> onQuit);

}  // namespace shell
