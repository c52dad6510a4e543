// What the operator's commands (ack, shelve, unshelve, status, test) share:
// their arguments, and the instance a configuration belongs to, found without
// a network port or a process id.
#pragma once

#include <string>
#include <vector>

class Coupler;

// Exit statuses of the operator's commands.
constexpr int kOperatorDone = 0;
constexpr int kOperatorRefused = 1;   // bad input, no such node or receiver, no active alarm, a failed test
constexpr int kOperatorNoAnswer = 3;  // no Zentok answered; the request waits for the next start
constexpr int kOperatorUsage = 64;

struct OperatorArguments {
    std::string command;
    std::vector<std::string> positional;
    std::string config;  // the value of the last "-i"; empty for the default
    std::string by;
    std::string note;
    bool json = false;
    std::string error;  // an unknown option or one without its value
};

// The command words that run an operator's command.
bool isOperatorCommand(const char* word);
// The arguments behind the program name: the command word, its operands, and
// "-i PATH", "--by NAME", "--note TEXT", "--json" anywhere.
OperatorArguments readOperatorArguments(int argc, char** argv);

// The configuration an operator's command is for: `given` (its -i) when set;
// else the program's default (./zentok.ini) when it is there; else the
// packaged one (packagedConfigIn("/etc/zentok/")); else the default again,
// for the command to say it cannot be read.
std::string operatorConfigPath(const std::string& given, const char* programPath);
// The packaged configuration in `folder`: its zentok.ini, or else its only
// "*.ini"; empty when there is neither or more than one.
std::string packagedConfigIn(const std::string& folder);

// The working directory of the instance whose configuration is `configPath`:
// a packaged unit's (/etc/zentok/NAME.ini runs in /var/lib/zentok-NAME,
// /etc/zentok/zentok.ini in /var/lib/zentok), otherwise the current one.
std::string instanceDirectory(const std::string& configPath);

// Loads the configuration without contacting any channel and without its
// secrets, and enters the instance's working directory, where its states file
// must be. False with the reason when the path is no instance's
// configuration. A file with errors is used as far as it loads (with a line
// saying so): the running Zentok keeps the last one it could load, and the
// commands need no more of it than its nodes.
bool openInstance(const std::string& configPath, Coupler& coupler, std::string* why);
// Loads the configuration with its channels, for a test message, and enters
// the instance's working directory when there is one, so relative file
// names go where the running program's go; false when it cannot be entered.
bool openConfiguration(const std::string& configPath, Coupler& coupler, std::string* why);

// False, with the reason naming the file, when `path` exists but cannot be
// read (its mode, a directory in its place); true when it reads or is absent.
bool readableOrAbsent(const std::string& path, std::string* why);

enum class RunningState { Running, Stopped, Unknown };
// Whether a Zentok runs in the current (the instance's) directory, told by the
// lock it holds on its request folder; Unknown, with the reason, when the
// lock's file cannot be opened.
RunningState zentokRunningHere(std::string* why);
