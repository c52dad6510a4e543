// The command line: "-i PATH" for the configuration, the options that
// answer without running the coupler (--check, --version, --help) and the
// "probe" command.
#pragma once

#include <string>

enum class CommandAction { Run, Check, Version, Help, Probe };

// What the command line asks for; --help wins over --version, which wins over --check.
CommandAction requestedAction(int argc, char** argv);

// The configuration path: the value of the last "-i" that has one, or the
// default derived from the program path. With `announce` each "-i" value is
// printed as "configuration: PATH" and the default as "Using default ini file".
std::string configPathFromArguments(int argc, char** argv, bool announce);

// Runs --check, --version, --help or probe and returns the exit status.
int runCommand(CommandAction action, int argc, char** argv);
