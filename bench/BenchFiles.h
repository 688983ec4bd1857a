#pragma once
// The voice files beside the benchmark executable.

#include <cstdint>
#include <string>

namespace bench {

// Creates or empties a file.
void TruncateFile(const std::string& path);

// Writes `chunks` 400-byte chunks, chunk k as FillChunk(k).
void WriteChunkFile(const std::string& path, std::uint64_t chunks);

// Checks that the file holds exactly chunks 0 .. expected-1 in order; gives the count of whole
// chunks it holds and the index of the first wrong one (or expected when all are right).
struct ChunkFileCheck {
    std::uint64_t chunks = 0;
    std::uint64_t firstWrong = 0;
    bool exact = false;
};
ChunkFileCheck CheckChunkFile(const std::string& path, std::uint64_t expected);

}  // namespace bench
