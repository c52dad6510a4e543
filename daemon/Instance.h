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

// The working directory of the instance whose configuration is `configPath`:
// a packaged unit's (/etc/zentok/NAME.ini runs in /var/lib/zentok-NAME,
// /etc/zentok/zentok.ini in /var/lib/zentok), otherwise the current one.
std::string instanceDirectory(const std::string& configPath);

// Loads the configuration without contacting any channel and enters the
// instance's working directory, where its states file must be. False with
// the reason when the path is no instance's configuration.
bool openInstance(const std::string& configPath, Coupler& coupler, std::string* why);
// Loads the configuration with its channels, for a test message, and enters
// the instance's working directory when there is one, so relative file
// names go where the running program's go.
bool openConfiguration(const std::string& configPath, Coupler& coupler, std::string* why);
