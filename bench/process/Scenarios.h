// The situations in which the process benchmark watches build/zentok from
// outside: each starts the program in a fresh directory with its own
// configuration, lets it settle, measures, and ends it.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "ProcStat.h"

// Reads of a Modbus client over a stretch of time; NaN when none were measured.
struct Throughput {
    double readsPerSecond = NAN;
    double cpuUsPerRead = NAN;
};

// The program and libmodbus reading the same device by turns.
struct ReadRace {
    Throughput zentok;
    Throughput libmodbus;
};

// A configuration of one Modbus source on 127.0.0.1:port with one node per
// address; no condition ever holds but the "!OFFLINE" node's while the device
// is down. `marker` is a line the parser ignores aloud at every load.
std::string deviceConfig(int port, int readInterval, const std::vector<std::string>& addresses,
                         bool marker = false);

// A device that accepts no connection: a loopback listener whose queue is
// full, so every connect waits for its time-out. readinterval 10.
Usage unreachableDevice(const std::string& zentok, int seconds);

// readinterval 0 against a device that answers every request late; the
// reads per second go to `readsPerSecond`.
Usage slowDevice(const std::string& zentok, int port, int seconds, double* readsPerSecond);

// readinterval 10 against a device that answers: the program sleeps between cycles.
Usage idleBetweenCycles(const std::string& zentok, int port, int seconds);

// What a cycle every second costs while nothing happens: five nodes whose
// registers never change, so only the nodes' read times move.
struct EverySecond {
    Usage usage;
    double writeBytesPerSecond = NAN;    // write_bytes of /proc/PID/io: what reaches the disk
    double statesWritesPerMinute = NAN;  // replacements of the states file, seen as new inodes
    double privateKb = NAN;              // private memory at the end, kB
};
EverySecond everySecond(const std::string& zentok, int seconds);

// The same cycle every second with a plant's tag list: 250 nodes, of them
// 50 words of 16 alarm bits (800 alarms), every node with an alarm line.
EverySecond fullPlant(const std::string& zentok, int seconds);

// readinterval 0, five register nodes against a fast device, beside
// libmodbus's modbus_read_registers (one register per request over the same
// five registers, on this thread). They take turns in `rounds` rounds: the
// program runs for zentokMs, then is paused (SIGSTOP) while libmodbus reads
// for libmodbusMs, so both see the same load of a shared machine.
ReadRace readsBesideLibmodbus(const std::string& zentok, int port, int rounds, int zentokMs, int libmodbusMs);

// fsync and fdatasync calls in `seconds` at readinterval 0 while no alarm
// changes, after a first run has written the states file; -1 when unknown.
int syncCallsWithoutAlarms(const std::string& zentok, int port, int seconds);

// Milliseconds from the rename of a new configuration over the old one to
// the first line of the new load, `samples` times; a reload that never came
// counts as a negative figure.
std::vector<double> reloadLatenciesMs(const std::string& zentok, int port, int samples);

// No configuration file at all: what the program uses while it waits for one.
Usage missingConfiguration(const std::string& zentok, int seconds);
