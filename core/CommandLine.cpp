// Command-line options and the configuration path.
#include "core/CommandLine.h"

#include <cstdio>
#include <cstring>

#include "core/ConfigCheck.h"
#include "core/Entry.h"
#include "core/Probe.h"

#ifndef ZENTOK_VERSION
#error "ZENTOK_VERSION comes from the project version in CMakeLists.txt"
#endif

namespace {

bool hasArgument(int argc, char** argv, const char* option) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], option) == 0) return true;
    return false;
}

void printHelp() {
    std::printf(
        "Usage: zentok [-i PATH]           couple the PLC to the receivers of the configuration PATH\n"
        "       zentok --check [-i PATH]   check the configuration and exit: 0 it loads, 78 configuration\n"
        "                                  error, 1 it cannot be read\n"
        "       zentok probe [-i PATH]     read every node once and print its type, raw and scaled\n"
        "                                  value and condition; 0 all read, 1 a read failed\n"
        "       zentok --version           print the version\n"
        "Without -i the configuration is zentok.ini in the working directory. Output goes to standard\n"
        "output; the states file zentok_states.csv is kept in the working directory.\n");
}

// "probe" as the command word, before or after "-i PATH".
bool isProbe(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-i") == 0) {
            ++i;
            continue;
        }
        if (std::strcmp(argv[i], "probe") == 0) return true;
    }
    return false;
}

}  // namespace

CommandAction requestedAction(int argc, char** argv) {
    if (hasArgument(argc, argv, "--help")) return CommandAction::Help;
    if (hasArgument(argc, argv, "--version")) return CommandAction::Version;
    if (hasArgument(argc, argv, "--check")) return CommandAction::Check;
    if (isProbe(argc, argv)) return CommandAction::Probe;
    return CommandAction::Run;
}

// Values are scanned like any other argument, so a later "-i" overrides an
// earlier one: a wrapper script may append its own path to what it was given.
std::string configPathFromArguments(int argc, char** argv, bool announce) {
    const char* given = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-i") == 0 && i + 1 < argc) {
            given = argv[i + 1];
            if (announce) std::printf("configuration: %s\n", given);
        }
    }
    if (given) return given;
    std::string path = defaultConfigPath(argc > 0 ? argv[0] : "");
    if (announce) std::printf("Using default ini file '%s'\n", path.c_str());
    return path;
}

int runCommand(CommandAction action, int argc, char** argv) {
    switch (action) {
        case CommandAction::Help:
            printHelp();
            return 0;
        case CommandAction::Version:
            std::printf("zentok %s\n", ZENTOK_VERSION);
            return 0;
        case CommandAction::Check:
            return checkConfiguration(configPathFromArguments(argc, argv, false));
        case CommandAction::Probe:
            return probeConfiguration(configPathFromArguments(argc, argv, false));
        case CommandAction::Run:
            break;
    }
    return 0;
}
