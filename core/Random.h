#pragma once

#include <QtGlobal>
#include <random>

// The program's pseudo-random generator: values in [0, 1). Seeded once at start-up; its only
// use is the key of the settings cipher.
class Random {
public:
    virtual ~Random() = default;
    virtual float Next() = 0;
};

// The program's generator: a Mersenne Twister seeded once, by default from the clock when it is
// created.
class SystemRandom final : public Random {
public:
    SystemRandom();
    explicit SystemRandom(quint32 seed) : engine_(seed) {}

    float Next() override;

private:
    std::mt19937 engine_;
};
