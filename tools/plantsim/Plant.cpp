// The plant scenario: the level rises from 70 cm to 160 cm in the first half
// of each cycle and falls back in the second, so it passes the threshold of
// 100 cm about ten seconds into every cycle and drops below it again ten
// seconds before the cycle ends.
#include "Plant.h"

#include <cmath>
#include <cstring>

namespace {

// A FLOAT32 in two registers, high word first (ABCD), as most devices send it.
void putFloat(uint16_t* registers, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    registers[0] = static_cast<uint16_t>(bits >> 16);
    registers[1] = static_cast<uint16_t>(bits & 0xFFFF);
}

}  // namespace

PlantImage plantAt(double t) {
    if (t < 0) t = 0;
    PlantImage image;
    double cycles = std::floor(t / kPlantCycleSeconds);
    double p = t - cycles * kPlantCycleSeconds;
    double half = kPlantCycleSeconds / 2;
    double span = kLevelHigh - kLevelLow;
    bool filling = p < half;
    double level = filling ? kLevelLow + span * p / half : kLevelHigh - span * (p - half) / half;
    int cm = static_cast<int>(std::lround(level));

    image.coils[kCoilPump] = !filling;
    image.coils[kCoilInlet] = filling;
    image.inputs[kInputHighLevel] = cm >= kHighLevelSwitch;
    // The liquid warms a little while the pump runs: 21.5 degC +- 1.5 over a cycle.
    double temperature = 215 - 15 * std::cos(2 * M_PI * p / kPlantCycleSeconds);
    image.inputRegisters[kInputRegTemperature] = static_cast<uint16_t>(std::lround(temperature));
    image.holdingRegisters[kHoldingLevel] = static_cast<uint16_t>(cm);
    image.holdingRegisters[kHoldingThreshold] = kLevelThreshold;
    image.holdingRegisters[kHoldingCycles] = static_cast<uint16_t>(static_cast<int64_t>(cycles) & 0xFFFF);
    putFloat(&image.holdingRegisters[kHoldingLevelFloat], static_cast<float>(level));
    // Two's complement in the register: a falling level reads as 65506 unsigned, -30 as INT16.
    int rate = filling ? kLevelRateMmPerSecond : -kLevelRateMmPerSecond;
    image.holdingRegisters[kHoldingLevelRate] = static_cast<uint16_t>(rate & 0xFFFF);
    return image;
}
