// The program entry: banner, configuration path and the two nested loops.
#pragma once

#include <string>

// Runs Zentok with the command line; returns the exit status (always 0).
int runZentok(int argc, char** argv);

// The configuration path derived from the program path: the first ".exe" and
// everything after it become ".ini"; without ".exe" it is "zentok.ini".
std::string defaultConfigPath(const char* programPath);
