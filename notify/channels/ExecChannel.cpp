// The command channel: the run is prepared on the dispatch thread (argv,
// environment, input), performed by the command runner on the sender's
// thread, and its outcome settles the delivery there.
#include "notify/channels/ExecChannel.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/Clock.h"
#include "base/Log.h"
#include "notify/CommandRunner.h"
#include "notify/NoticeFields.h"
#include "notify/Utf8Text.h"

extern char** environ;

namespace {

constexpr int kTimeLimitMs = 30000;
// What a program prints reaches the console up to this; a program that
// writes megabytes is cut off with one line that says how much was left out.
constexpr size_t kOutputLimit = 4096;
std::atomic<int> gTimeLimitMs{kTimeLimitMs};

std::vector<std::string> splitArguments(const char* text) {
    std::vector<std::string> words;
    std::string word;
    for (const char* p = text ? text : ""; *p; ++p) {
        if (*p == ' ' || *p == '\t') {
            if (!word.empty()) words.push_back(std::move(word));
            word.clear();
        } else {
            word.push_back(*p);
        }
    }
    if (!word.empty()) words.push_back(std::move(word));
    return words;
}

// The program's output, line by line with the receiver's name, control
// characters made blanks so no output can forge a line of the daemon's own.
void printOutput(const std::string& receiver, const CommandOutcome& outcome) {
    std::string shown = validUtf8(outcome.output.data(), outcome.output.size());
    size_t start = 0;
    while (start < shown.size()) {
        size_t end = shown.find('\n', start);
        if (end == std::string::npos) end = shown.size();
        std::string line = shown.substr(start, end - start);
        for (char& c : line)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
        logf(Log::Always, "notifyExec, receiver %s: %s\n", receiver.c_str(), line.c_str());
        start = end + 1;
    }
    if (outcome.outputLeftOut > 0)
        logf(Log::Always, "notifyExec, receiver %s: %zu more bytes of output left out\n", receiver.c_str(),
             outcome.outputLeftOut);
}

void conclude(const std::string& receiver, const std::string& program, int timeLimitMs,
              const DeliveryHandle& delivery, const CommandOutcome& outcome) {
    printOutput(receiver, outcome);
    if (!outcome.succeeded())
        logf(Log::Always, "notifyExec, receiver %s, err '%s', program '%s'\n", receiver.c_str(),
             outcome.describe(timeLimitMs).c_str(), program.c_str());
    std::fflush(stdout);
    settle(delivery, outcome.succeeded());
}

}  // namespace

ExecChannel::ExecChannel(char* rest, const char* receiverName)
    : argv_(splitArguments(rest)), receiver_(receiverName ? receiverName : "") {}

const std::string& ExecChannel::program() const {
    static const std::string kNone;
    return argv_.empty() ? kNone : argv_[0];
}

std::string ExecChannel::addressFault() const {
    if (argv_.empty()) return "exec needs a program: adr;exec;/path/to/program [ARGS]";
    // A quoted path is an attempt at a path with a blank, which the split at
    // blanks cannot keep whole; "needs an absolute path" would mislead.
    if (argv_[0][0] == '"' || argv_[0][0] == '\'')
        return "exec program '" + argv_[0] +
               "' starts with a quote: the words of an exec line are split at every blank and no quotes "
               "are read, so the program's path cannot hold a blank (link it from a path without one)";
    if (argv_[0][0] != '/') return "exec program '" + argv_[0] + "' needs an absolute path";
    return "";
}

std::vector<std::string> commandEnvironment(const Notification& notification, const char* receiverName,
                                            int64_t when) {
    std::vector<std::string> environment;
    for (char** entry = environ; entry && *entry; ++entry)
        if (std::strncmp(*entry, "ZENTOK_", 7) != 0) environment.emplace_back(*entry);
    auto add = [&](const char* name, const std::string& value) {
        environment.push_back(std::string("ZENTOK_") + name + "=" + value);
    };
    add("RECEIVER", receiverName ? receiverName : "");
    add("SOURCE", notification.sourceName);
    add("NODE", notification.address);
    add("VALUE", valueText(notification));
    add("TIME", isoLocalTime(when));
    add("TRIGGER_TIME", notification.triggerTime > 0 ? isoLocalTime(notification.triggerTime) : "");
    add("EVENT_TIME", noticeTime(notification) > 0 ? isoLocalTime(noticeTime(notification)) : "");
    add("KIND", notification.kind == NotificationKind::Info ? "info" : "message");
    add("STATE", notification.state);
    add("TEXT", notification.text);
    return environment;
}

bool ExecChannel::notify(const Notification& notification, const DeliveryHandle& delivery) {
    if (argv_.empty()) return false;
    CommandRequest request;
    request.argv = argv_;
    request.environment = commandEnvironment(notification, receiver_.c_str(), currentTime());
    request.input = notification.text;
    request.timeLimitMs = gTimeLimitMs.load();
    request.outputLimit = kOutputLimit;

    logf(Log::Always, "notifyExec::notify, program %s, source %s, node %s, %s\n", argv_[0].c_str(),
         notification.sourceName.c_str(), notification.address.c_str(), consoleText(notification).c_str());
    std::string receiver = receiver_;
    std::string program = argv_[0];
    int limit = request.timeLimitMs;
    auto done = [receiver, program, limit, delivery](const CommandOutcome& outcome) {
        conclude(receiver, program, limit, delivery, outcome);
    };
    if (commandRunner().submit(laneOf(delivery), std::move(request), std::move(done))) return true;
    logf(Log::Always, "notifyExec, receiver %s, err 'no thread', program '%s'\n", receiver_.c_str(),
         program.c_str());
    return false;
}

void setCommandTimeLimitForTesting(int ms) {
    gTimeLimitMs = ms > 0 ? ms : kTimeLimitMs;
}
