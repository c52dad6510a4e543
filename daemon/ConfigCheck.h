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

// Warnings about a loaded configuration: a read interval of 0, duplicate node
// addresses, a late "!OFFLINE" node, groups and receivers without each other,
// missing uplinks, file patterns whose directory does not exist or is a
// temporary one.
std::vector<std::string> modelWarnings(const Coupler& coupler);
