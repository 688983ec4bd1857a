#pragma once
// The two voice files: existing regular files only, never created or truncated. The incoming
// file is held with an exclusive lock while it is open, so a second writer is refused.

#include <cstddef>
#include <string>

namespace voice {

// A handle greater than 0, or -1 when the file cannot be opened.
int OpenForReading(const std::string& path);
int OpenForWriting(const std::string& path);

// Up to `size` bytes at the current position: the count read, 0 at the end, -1 on failure.
long Read(int handle, void* buffer, std::size_t size);

// Writes at the current position; the outcome is not reported.
void Write(int handle, const void* buffer, std::size_t size);

void Close(int handle);

}  // namespace voice
