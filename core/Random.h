#pragma once

// The program's pseudo-random generator: values in [0, 1). Seeded once at start-up; its only
// use is the key of the settings cipher.
class Random {
public:
    virtual ~Random() = default;
    virtual float Next() = 0;
};
