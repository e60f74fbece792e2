#include "Clock.h"

float Clock::TimeOfDay() const {
    return float(Now().time().msecsSinceStartOfDay() / 1000.0);
}
