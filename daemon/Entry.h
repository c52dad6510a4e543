// The program entry: banner, configuration path and the two nested loops.
#pragma once

// Runs Zentok with the command line; returns the exit status: 78 (EX_CONFIG)
// after a configuration error, otherwise 0. --check, --version and --help
// answer without running the coupler.
int runZentok(int argc, char** argv);
