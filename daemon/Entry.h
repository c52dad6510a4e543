// The program entry: banner, configuration path and the two nested loops.
#pragma once

#include <string>

// Runs Zentok with the command line; returns the exit status: 78 (EX_CONFIG)
// after a configuration error, otherwise 0. --check, --version and --help
// answer without running the coupler.
int runZentok(int argc, char** argv);

// The configuration path derived from the program path: the first ".exe" and
// everything after it become ".ini"; without ".exe" it is "zentok.ini".
std::string defaultConfigPath(const char* programPath);
