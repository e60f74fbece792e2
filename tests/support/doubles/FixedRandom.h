#pragma once

#include "core/Random.h"

#include <QList>
#include <initializer_list>

// A generator that returns the given values in turn and then starts over; 0 when given none.
class FixedRandom final : public Random {
public:
    FixedRandom(std::initializer_list<float> values = {0.0f}) : values_(values) {}

    // The value that makes the settings cipher draw key `k` (0..255).
    static float ForKey(int k) { return (float(k) + 0.5f) / 256.0f; }
    static FixedRandom Keys(std::initializer_list<int> keys) {
        FixedRandom random;
        random.values_.clear();
        for (int k : keys)
            random.values_ << ForKey(k);
        return random;
    }

    float Next() override {
        ++draws;
        if (values_.isEmpty())
            return 0.0f;
        const float value = values_.at(next_ % values_.size());
        ++next_;
        return value;
    }

    int draws = 0; // how many values were taken

private:
    QList<float> values_;
    qsizetype next_ = 0;
};
