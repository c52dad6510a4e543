// "zentok --check": loads the configuration as a start would, prints the
// parser's messages and the warnings a careful reader wants, and contacts no
// device, sends nothing and writes no states file.
#pragma once

#include <string>
#include <vector>

class Coupler;

// Exit statuses of the check (EX_CONFIG of sysexits.h for a configuration error).
constexpr int kCheckLoads = 0;
constexpr int kCheckUnreadable = 1;
constexpr int kExitConfigError = 78;

// Prints messages, warnings and a closing line; returns one of the statuses
// above. With `errorsOnly` only what ends a start or refuses a reload fails
// the check (the parser's line messages are printed, the warnings left out):
// the units run it before both, so that exactly such a file fails them.
int checkConfiguration(const std::string& path, bool errorsOnly = false);

// Advice about a loaded configuration that works as written: a read interval
// of 0, duplicate node addresses, a late "!OFFLINE" node, a file receiver in
// a temporary directory.
std::vector<std::string> modelWarnings(const Coupler& coupler);

// What loads but leaves an alarm, a receiver or a setting without effect:
// unknown keywords and settings, groups and receivers without each other, an
// escalation to a group nobody names, channels without their uplink or
// program, files in directories that do not exist. The check fails on them;
// a start or reload prints them once and runs with the rest.
std::vector<std::string> deadEndWarnings(const Coupler& coupler);
void printDeadEndWarnings(const Coupler& coupler);
