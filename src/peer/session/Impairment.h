#pragma once
// What may happen to each outgoing voice chunk on its way to the wire, drawn from a seeded
// std::mt19937_64 with a mapping of our own, so a seed gives the same run on every machine.
// Standard library only.

#include <cstdint>
#include <optional>
#include <random>

namespace peer {

struct ImpairmentSettings {
    // Percentages, 0 to 100.
    double dropPercent = 0;
    double duplicatePercent = 0;
    double reorderPercent = 0;
    // Each chunk goes out from 0 to this many milliseconds after its deadline.
    double jitterMs = 0;
    std::optional<std::uint64_t> seed;

    bool Any() const {
        return dropPercent > 0 || duplicatePercent > 0 || reorderPercent > 0 || jitterMs > 0;
    }
};

struct ChunkFate {
    bool drop = false;
    bool duplicate = false;
    bool reorder = false;
    std::uint64_t delayMicroseconds = 0;
};

// One draw for each impairment that is on, in the order drop, duplicate, reorder, delay, for
// every chunk whatever the earlier draws gave: the n-th chunk's fate depends only on the seed.
class ImpairmentDraws {
  public:
    // Without a seed in `settings`, one is taken from the system's random device.
    explicit ImpairmentDraws(const ImpairmentSettings& settings);
    ChunkFate Next();
    std::uint64_t Seed() const { return seed_; }

  private:
    // A uniform number in [0, 1) from the top 53 bits of one output.
    double Unit();

    ImpairmentSettings settings_;
    std::uint64_t seed_;
    std::uint64_t jitterMicroseconds_;
    std::mt19937_64 engine_;
};

}  // namespace peer
