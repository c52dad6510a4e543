// The command line: "-i PATH" for the configuration, the options that
// answer without running the coupler (--check, --version, -h and --help)
// and the "probe" and "report [--since DATE]" commands. Any other argument is refused with the usage and
// exit status 64.
#pragma once

#include <string>

enum class CommandAction { Run, Check, Version, Help, Usage, Probe, Report, Operator };

// What the command line asks for. An operator's command word (ack, shelve,
// unshelve, status, test) as the first argument that is not "-i" or its
// value reads the rest itself; otherwise an unknown argument wins over all, then
// --help (or -h) over --version, which wins over --check, which wins over
// probe, which wins over report.
CommandAction requestedAction(int argc, char** argv);

// The configuration path derived from the program path: the first ".exe" and
// everything after it become ".ini"; without ".exe" it is "zentok.ini".
std::string defaultConfigPath(const char* programPath);

// The configuration path: the value of the last "-i" that has one, or the
// default derived from the program path. With `announce` each "-i" value is
// printed as "configuration: PATH" and the default as "Using default ini file".
std::string configPathFromArguments(int argc, char** argv, bool announce);

// Runs --check, --version, --help, probe or the usage error and returns the exit status.
int runCommand(CommandAction action, int argc, char** argv);
