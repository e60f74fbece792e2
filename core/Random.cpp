#include "Random.h"

#include <chrono>

namespace {
quint32 SeedFromClock() {
    const auto ticks = std::chrono::system_clock::now().time_since_epoch().count();
    const auto wide = static_cast<quint64>(ticks);
    return quint32(wide ^ (wide >> 32));
}
} // namespace

SystemRandom::SystemRandom() : engine_(SeedFromClock()) {}

float SystemRandom::Next() {
    // 24 random bits fill a float's mantissa exactly, so the value never rounds up to 1.
    return float(engine_() >> 8) * (1.0f / 16777216.0f);
}
