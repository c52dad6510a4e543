// The simulated plant: a tank that fills until its level passes the alarm
// threshold, a pump that drains it again, a high-level switch and a
// temperature, with the level also as a float and its rate as a signed value. Every value is a function of
// the scenario time alone.
#pragma once

#include <cstdint>

// The plant's process image as Modbus objects; every table serves
// addresses 0..kPlantObjects-1.
constexpr int kPlantObjects = 16;

// Where the plant's values sit (protocol addresses).
constexpr int kCoilPump = 1;             // coil: drain pump running
constexpr int kCoilInlet = 2;            // coil: inlet valve open
constexpr int kInputHighLevel = 1;       // discrete input: high-level switch
constexpr int kInputRegTemperature = 1;  // input register: temperature in 0.1 degC
constexpr int kHoldingLevel = 1;         // holding register: tank level in cm
constexpr int kHoldingThreshold = 2;     // holding register: alarm threshold in cm
constexpr int kHoldingCycles = 3;        // holding register: completed fill cycles
constexpr int kHoldingLevelFloat = 4;    // holding registers 4-5: tank level in cm, FLOAT32, high word first
constexpr int kHoldingLevelRate = 6;     // holding register: level change in mm/s, INT16 (negative: falling)

// One fill-and-drain cycle of the scenario, in scenario seconds.
constexpr double kPlantCycleSeconds = 60.0;
constexpr int kLevelLow = 70;
constexpr int kLevelHigh = 160;
constexpr int kLevelThreshold = 100;
constexpr int kHighLevelSwitch = 150;

// The level's rise and fall in mm/s: 90 cm in half a cycle.
constexpr int kLevelRateMmPerSecond = 30;

struct PlantImage {
    bool coils[kPlantObjects] = {};
    bool inputs[kPlantObjects] = {};
    uint16_t inputRegisters[kPlantObjects] = {};
    uint16_t holdingRegisters[kPlantObjects] = {};
};

// The process image at scenario time t (seconds since the scenario began).
PlantImage plantAt(double t);
