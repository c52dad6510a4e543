// Command-line options and the configuration path.
#include "daemon/CommandLine.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/Log.h"
#include "daemon/ConfigCheck.h"
#include "daemon/Instance.h"
#include "daemon/JournalReport.h"
#include "daemon/OperatorCommand.h"
#include "daemon/Probe.h"
#include "daemon/StatusCommand.h"
#include "daemon/TestCommand.h"

#ifndef ZENTOK_VERSION
#error "ZENTOK_VERSION comes from the project version in CMakeLists.txt"
#endif

namespace {

constexpr int kExitUsage = 64;  // EX_USAGE of sysexits.h

const char* const kUsage =
    "Usage: zentok [-i PATH]           couple the PLC to the receivers of the configuration PATH\n"
    "       zentok --check [--errors-only] [-i PATH]\n"
    "                                  check the configuration and exit: 0 it loads, 78 configuration\n"
    "                                  error, 1 it cannot be read; --errors-only: 78 only for an error\n"
    "                                  that ends a start or refuses a reload, warnings left out (the\n"
    "                                  units check the file so before a start and a reload)\n"
    "       zentok probe [-i PATH]     read every node once and print its type, raw and scaled\n"
    "                                  value and condition; 0 all read, 1 a read failed\n"
    "       zentok report [--since DATE] [--format text|csv|json] [--html FILE] [-i PATH]\n"
    "                                  alarm figures from the alarm journal (coupler;journal): alarms per\n"
    "                                  10 minutes, chattering and most frequent nodes, acknowledgement;\n"
    "                                  csv and json add flood, stale, fleeting, shelve and per-receiver\n"
    "                                  delivery figures; --html FILE also writes them as a page with\n"
    "                                  charts; DATE is YYYY-MM-DD or YYYY-MM-DD hh:mm\n"
    "       zentok ack NODE|all [--by NAME] [--note TEXT] [-i PATH]\n"
    "                                  acknowledge a node's active alarm: its reminders and escalation stop\n"
    "       zentok shelve NODE DURATION [--note TEXT] [-i PATH]\n"
    "                                  send nothing of the node for DURATION (30m, 2h)\n"
    "       zentok unshelve NODE [-i PATH] end a shelve\n"
    "                                  0 done, 1 refused (the reason is printed), 3 no Zentok answering\n"
    "       zentok status [--json] [-i PATH]\n"
    "                                  the nodes, the source and the outbox of the instance\n"
    "       zentok test RECEIVER [-i PATH]\n"
    "                                  send a test message through the receiver's channel; 0 delivered\n"
    "       zentok --version           print the version\n"
    "       zentok -h, --help          print this help\n"
    "Without -i the configuration is zentok.ini in the working directory. Output goes to standard\n"
    "output; the states file zentok_states.csv is kept in the working directory. SIGHUP reloads\n"
    "the configuration.\n"
    "Manual pages: zentok(8), zentok.ini(5) (man zentok, man zentok.ini). Documentation:\n"
    "/usr/share/doc/zentok/docs/ (docs/ of the source), configuration.md first.\n";

bool hasArgument(int argc, char** argv, const char* option) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], option) == 0) return true;
    return false;
}

bool isKnownOption(const char* argument) {
    for (const char* known : {"-i", "--check", "--errors-only", "--version", "--help", "-h", "probe",
                              "report", "--since", "--format", "--html"})
        if (std::strcmp(argument, known) == 0) return true;
    return false;
}

// The options followed by a value.
bool takesValue(const char* argument) {
    return std::strcmp(argument, "-i") == 0 || std::strcmp(argument, "--since") == 0 ||
           std::strcmp(argument, "--format") == 0 || std::strcmp(argument, "--html") == 0;
}

// The first argument that is neither an option nor the value of "-i" or
// "--since"; null when there is none. A value is still an option in its own
// right ("-i -i b").
const char* firstUnknownArgument(int argc, char** argv) {
    bool isValue = false;
    for (int i = 1; i < argc; ++i) {
        bool wasValue = isValue;
        isValue = takesValue(argv[i]);
        if (!wasValue && !isKnownOption(argv[i])) return argv[i];
    }
    return nullptr;
}

// `word` as a command word, not as the value of an option.
bool isCommand(int argc, char** argv, const char* word) {
    for (int i = 1; i < argc; ++i) {
        if (takesValue(argv[i])) {
            ++i;
            continue;
        }
        if (std::strcmp(argv[i], word) == 0) return true;
    }
    return false;
}

// The value of the last `option`; empty when there is none.
std::string optionValue(int argc, char** argv, const char* option) {
    std::string value;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], option) == 0) value = argv[i + 1];
    return value;
}

int runReport(int argc, char** argv) {
    std::string since = optionValue(argc, argv, "--since");
    ReportRequest request;
    request.since = since.empty() ? 0 : parseSinceDate(since);
    if (!since.empty() && request.since == 0) {
        std::fprintf(stderr, "zentok: --since '%s' is no date (YYYY-MM-DD or YYYY-MM-DD hh:mm)\n",
                     since.c_str());
        return kExitUsage;
    }
    std::string format = optionValue(argc, argv, "--format");
    if (format == "csv")
        request.format = ReportFormat::Csv;
    else if (format == "json")
        request.format = ReportFormat::Json;
    else if (!format.empty() && format != "text") {
        std::fprintf(stderr, "zentok: --format '%s' is none of text, csv, json\n", format.c_str());
        return kExitUsage;
    }
    request.htmlPath = optionValue(argc, argv, "--html");
    if (hasArgument(argc, argv, "--html") && request.htmlPath.empty()) {
        std::fprintf(stderr, "zentok: --html needs a file name\n");
        return kExitUsage;
    }
    std::string given = hasArgument(argc, argv, "-i") ? configPathFromArguments(argc, argv, false) : "";
    return reportJournal(operatorConfigPath(given, argc > 0 ? argv[0] : ""), request);
}

// The first argument that is not "-i" or its value.
const char* commandWord(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-i") == 0) {
            ++i;
            continue;
        }
        return argv[i];
    }
    return nullptr;
}

int runOperatorCommand(int argc, char** argv) {
    OperatorArguments arguments = readOperatorArguments(argc, argv);
    const char* program = argc > 0 ? argv[0] : "";
    if (!arguments.error.empty()) {
        std::fprintf(stderr, "zentok %s: %s\n%s", arguments.command.c_str(), arguments.error.c_str(), kUsage);
        return kOperatorUsage;
    }
    arguments.config = operatorConfigPath(arguments.config, program);
    if (arguments.command == "status") return showStatus(arguments, program);
    if (arguments.command == "test") return sendTestMessage(arguments, program);
    return runOperatorRequest(arguments, program);
}

}  // namespace

CommandAction requestedAction(int argc, char** argv) {
    const char* word = commandWord(argc, argv);
    if (word && isOperatorCommand(word)) return CommandAction::Operator;
    if (firstUnknownArgument(argc, argv)) return CommandAction::Usage;
    // Alone it would start a live instance that the writer meant to check.
    if (hasArgument(argc, argv, "--errors-only") && !hasArgument(argc, argv, "--check"))
        return CommandAction::Usage;
    if (hasArgument(argc, argv, "--help") || hasArgument(argc, argv, "-h")) return CommandAction::Help;
    if (hasArgument(argc, argv, "--version")) return CommandAction::Version;
    if (hasArgument(argc, argv, "--check")) return CommandAction::Check;
    if (isCommand(argc, argv, "probe")) return CommandAction::Probe;
    if (isCommand(argc, argv, "report")) return CommandAction::Report;
    return CommandAction::Run;
}

std::string defaultConfigPath(const char* programPath) {
    std::string path = programPath ? programPath : "";
    size_t at = path.find(".exe");
    if (at == std::string::npos) return "zentok.ini";
    return path.substr(0, at) + ".ini";
}

// Values are scanned like any other argument, so a later "-i" overrides an
// earlier one: a wrapper script may append its own path to what it was given.
std::string configPathFromArguments(int argc, char** argv, bool announce) {
    const char* given = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-i") == 0 && i + 1 < argc) {
            given = argv[i + 1];
            if (announce) logf(Log::Always, "configuration: %s\n", given);
        }
    }
    if (given) return given;
    std::string path = defaultConfigPath(argc > 0 ? argv[0] : "");
    if (announce) logf(Log::Always, "Using default ini file '%s'\n", path.c_str());
    return path;
}

int runCommand(CommandAction action, int argc, char** argv) {
    switch (action) {
        case CommandAction::Help:
            std::fputs(kUsage, stdout);
            return 0;
        case CommandAction::Usage: {
            // A mistyped option must never start a live instance that reads and sends.
            const char* unknown = firstUnknownArgument(argc, argv);
            if (unknown)
                std::fprintf(stderr, "zentok: unknown option '%s'\n%s", unknown, kUsage);
            else
                std::fprintf(stderr, "zentok: --errors-only goes with --check\n%s", kUsage);
            return kExitUsage;
        }
        case CommandAction::Version:
            std::printf("zentok %s\n", ZENTOK_VERSION);
            return 0;
        case CommandAction::Check:
            return checkConfiguration(configPathFromArguments(argc, argv, false),
                                      hasArgument(argc, argv, "--errors-only"));
        case CommandAction::Probe:
            return probeConfiguration(configPathFromArguments(argc, argv, false));
        case CommandAction::Report:
            return runReport(argc, argv);
        case CommandAction::Operator:
            return runOperatorCommand(argc, argv);
        case CommandAction::Run:
            break;
    }
    return 0;
}
