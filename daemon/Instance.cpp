// Finding the instance an operator's command is for.
#include "daemon/Instance.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/DurableFile.h"
#include "base/Settings.h"
#include "cycle/Coupler.h"

namespace {

constexpr const char* kUnitConfigFolder = "/etc/zentok/";

bool takesValue(const std::string& option) {
    return option == "-i" || option == "--by" || option == "--note";
}

}  // namespace

bool isOperatorCommand(const char* word) {
    for (const char* command : {"ack", "shelve", "unshelve", "status", "test"})
        if (std::strcmp(word, command) == 0) return true;
    return false;
}

OperatorArguments readOperatorArguments(int argc, char** argv) {
    OperatorArguments arguments;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (takesValue(argument)) {
            if (i + 1 >= argc) {
                arguments.error = argument + " needs a value";
                break;
            }
            std::string value = argv[++i];
            if (argument == "-i") arguments.config = value;
            if (argument == "--by") arguments.by = value;
            if (argument == "--note") arguments.note = value;
        } else if (argument == "--json") {
            arguments.json = true;
        } else if (argument.size() > 1 && argument[0] == '-' &&
                   !std::isdigit(static_cast<unsigned char>(argument[1]))) {
            // "-5m" is a (bad) duration for the command to refuse, not an option.
            arguments.error = "unknown option '" + argument + "'";
            break;
        } else if (arguments.command.empty()) {
            arguments.command = argument;
        } else {
            arguments.positional.push_back(argument);
        }
    }
    return arguments;
}

std::string instanceDirectory(const std::string& configPath) {
    const std::string folder = kUnitConfigFolder;
    const std::string suffix = ".ini";
    bool unitConfig = configPath.compare(0, folder.size(), folder) == 0 &&
                      configPath.size() > folder.size() + suffix.size() &&
                      configPath.compare(configPath.size() - suffix.size(), suffix.size(), suffix) == 0 &&
                      configPath.find('/', folder.size()) == std::string::npos;
    if (!unitConfig) return ".";
    std::string name = configPath.substr(folder.size(), configPath.size() - folder.size() - suffix.size());
    return name == "zentok" ? "/var/lib/zentok" : "/var/lib/zentok-" + name;
}

namespace {

bool loadFor(const std::string& configPath, Coupler& coupler, std::string* why) {
    coupler.loadConfig(configPath.c_str());
    if (coupler.cfgStat.size < 0) {
        *why = "configuration '" + configPath + "' cannot be read";
        return false;
    }
    if (coupler.iniError) {
        *why = "configuration '" + configPath + "' has errors";
        return false;
    }
    return true;
}

}  // namespace

bool openConfiguration(const std::string& configPath, Coupler& coupler, std::string* why) {
    if (!loadFor(configPath, coupler, why)) return false;
    std::string directory = instanceDirectory(configPath);
    if (directory != "." && ::chdir(directory.c_str()) != 0)
        std::printf("working directory %s not there: relative file names are taken from here\n",
                    directory.c_str());
    return true;
}

bool openInstance(const std::string& configPath, Coupler& coupler, std::string* why) {
    setChannelsOffline(true);
    if (!loadFor(configPath, coupler, why)) return false;
    std::string directory = instanceDirectory(configPath);
    if (::chdir(directory.c_str()) != 0) {
        *why = "'" + configPath + "' is no Zentok instance's configuration: cannot enter " + directory +
               ": " + std::strerror(errno);
        return false;
    }
    FileIdentity states;
    if (!identityOf(coupler.statesName, &states)) {
        *why = "'" + configPath + "' is no running or stopped Zentok instance's configuration: no " +
               coupler.statesName + " in " + (directory == "." ? "the working directory" : directory);
        return false;
    }
    return true;
}
