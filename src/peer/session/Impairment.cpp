#include "peer/session/Impairment.h"

#include <cmath>

namespace peer {
namespace {

std::uint64_t SeedOf(const ImpairmentSettings& settings) {
    if (settings.seed) {
        return *settings.seed;
    }
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

}  // namespace

ImpairmentDraws::ImpairmentDraws(const ImpairmentSettings& settings)
    : settings_(settings),
      seed_(SeedOf(settings)),
      jitterMicroseconds_(static_cast<std::uint64_t>(std::llround(settings.jitterMs * 1000))),
      engine_(seed_) {}

double ImpairmentDraws::Unit() {
    return static_cast<double>(engine_() >> 11) * 0x1p-53;
}

ChunkFate ImpairmentDraws::Next() {
    ChunkFate fate;
    if (settings_.dropPercent > 0) {
        fate.drop = Unit() < settings_.dropPercent / 100;
    }
    if (settings_.duplicatePercent > 0) {
        fate.duplicate = Unit() < settings_.duplicatePercent / 100;
    }
    if (settings_.reorderPercent > 0) {
        fate.reorder = Unit() < settings_.reorderPercent / 100;
    }
    if (jitterMicroseconds_ > 0) {
        // 0 to the whole jitter, each microsecond alike.
        fate.delayMicroseconds =
            static_cast<std::uint64_t>(Unit() * static_cast<double>(jitterMicroseconds_ + 1));
    }
    return fate;
}

}  // namespace peer
