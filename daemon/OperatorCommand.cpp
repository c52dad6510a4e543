// The operator's requests from the shell. What the command can judge itself
// (a node the configuration lacks, a shelve time out of bounds) is refused
// before anything is written; the rest is for the running Zentok to decide,
// which is the only writer of its states file and outbox.
#include "daemon/OperatorCommand.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "base/Alarm.h"
#include "base/Clock.h"
#include "base/DurableFile.h"
#include "base/ErrorText.h"
#include "base/Log.h"
#include "cycle/Coupler.h"
#include "cycle/OperatorRequest.h"
#include "daemon/CommandLine.h"
#include "daemon/Instance.h"
#include "trigger/AlarmSettings.h"

namespace {

constexpr int kAnswerWaitMs = 2000;  // the loop looks at the folder at least once a second
// A Zentok that runs but is in a long read (a device that does not answer
// takes up to its connect time-out) gets this long; the watchdog ends a hung one.
constexpr int kBusyWaitMs = 20000;
constexpr int kAnswerPollMs = 20;

// Who acknowledges when --by does not say: the user behind sudo, or the caller.
std::string callerName() {
    const char* sudoUser = std::getenv("SUDO_USER");
    if (sudoUser && *sudoUser) return sudoUser;
    // A command line call: no other thread runs yet to share the static record.
    if (const passwd* entry = getpwuid(getuid())) return entry->pw_name;  // NOLINT(concurrency-mt-unsafe)
    return "uid " + std::to_string(getuid());
}

bool plainText(const std::string& text) {
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// Builds the request from the arguments; false with the reason.
bool buildRequest(const OperatorArguments& arguments, Coupler& coupler, OperatorRequest* request,
                  std::string* why) {
    const auto& operands = arguments.positional;
    size_t wanted = arguments.command == "shelve" ? 2 : 1;
    if (operands.size() != wanted) {
        *why = arguments.command == "shelve"
                   ? "shelve needs a node and a duration, as: zentok shelve 400001 2h"
                   : arguments.command + " needs one node";
        return false;
    }
    request->command = arguments.command;
    request->node = operands[0];
    request->note = arguments.note;
    if (arguments.command == "ack") request->by = arguments.by.empty() ? callerName() : arguments.by;
    if (!plainText(request->by) || !plainText(request->note) || request->by.size() >= kOperatorNameSize ||
        request->note.size() >= kOperatorNoteSize) {
        *why = "--by takes at most 63 and --note at most 255 characters, on one line";
        return false;
    }
    bool all = arguments.command == "ack" && request->node == "all";
    Node* node = all ? nullptr : coupler.nodeNamed(request->node.c_str());
    if (!all && !node) {
        *why = "no node '" + request->node + "' in the configuration";
        return false;
    }
    // The alarm the operator sees now is the one meant: an ack that waits
    // for a start must not acknowledge a later one.
    request->time = currentTime();
    if (arguments.command == "ack" && node && node->active) request->episode = node->triggerTime;
    if (arguments.command == "shelve") {
        int seconds = parseAlarmDuration(operands[1].c_str());
        if (seconds < 1 || seconds > coupler.maxShelveSeconds) {
            *why = "shelve time '" + operands[1] + "': a duration from 1 s to the maximum shelve time of " +
                   std::to_string(coupler.maxShelveSeconds) + " s (coupler;maxshelve), as 30m or 2h";
            return false;
        }
        request->seconds = seconds;
    }
    return true;
}

std::string requestName() {
    std::random_device random;
    char name[64];
    std::snprintf(name, sizeof name, "%013lld-%d-%08x",
                  static_cast<long long>(currentTime()) * 1000 + static_cast<long long>(steadyMs() % 1000),
                  static_cast<int>(getpid()), static_cast<unsigned>(random()));
    return name;
}

// Written whole under a hidden name, synced and renamed into place, so the
// program never reads half a request and a power cut keeps a whole one.
bool placeRequest(const std::string& base, const std::string& text, std::string* why) {
    // The service runs as a user of its own (DynamicUser=): what root makes
    // here is handed to the owner of the working directory, or the service
    // could neither list the folder nor read the request.
    struct stat instance {};
    bool handOver = ::geteuid() == 0 && ::stat(".", &instance) == 0;
    if (::mkdir(kRequestFolder, 0770) == 0) {
        if (handOver && ::chown(kRequestFolder, instance.st_uid, instance.st_gid) != 0) handOver = false;
    } else if (errno != EEXIST) {
        *why = std::string("cannot make the request folder ") + kRequestFolder + ": " + errorText(errno);
        return false;
    }
    struct stat folder {};
    if (::lstat(kRequestFolder, &folder) != 0 || !S_ISDIR(folder.st_mode)) {
        *why = std::string("the request folder ") + kRequestFolder +
               " is a symbolic link or no folder, which Zentok does not follow";
        return false;
    }
    std::string hidden = std::string(kRequestFolder) + "/." + base + ".tmp";
    std::string path = std::string(kRequestFolder) + "/" + base + kRequestSuffix;
    int fd = ::open(hidden.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0660);
    // Readable by the service's user or group, whatever the caller's umask.
    // The file stays the caller's: its owner is who Zentok records as having
    // asked, so root hands over only the group.
    bool written = fd >= 0 && ::fchmod(fd, 0660) == 0 &&
                   (!handOver || ::fchown(fd, static_cast<uid_t>(-1), instance.st_gid) == 0) &&
                   writeAll(fd, text) && ::fsync(fd) == 0;
    int error = errno;
    if (fd >= 0) ::close(fd);
    if (written && ::rename(hidden.c_str(), path.c_str()) == 0) return true;
    error = written ? errno : error;
    ::unlink(hidden.c_str());
    *why = std::string("cannot write a request into ") + kRequestFolder + ": " + errorText(error);
    return false;
}

// The answer once it is there, within the wait; false when none came.
bool awaitAnswer(const std::string& base, int waitMs, std::string* answer) {
    std::string path = std::string(kRequestFolder) + "/" + base + kAnswerSuffix;
    int64_t deadline = steadyMs() + waitMs;
    do {
        if (readWholeFile(path, kMaxRequestBytes * 4, answer)) {
            ::unlink(path.c_str());
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kAnswerPollMs));
    } while (steadyMs() < deadline);
    return false;
}

// Whether the request is still in the folder, not yet taken by Zentok.
bool requestWaits(const std::string& base) {
    struct stat status {};
    return ::lstat((std::string(kRequestFolder) + "/" + base + kRequestSuffix).c_str(), &status) == 0;
}

}  // namespace

int runOperatorRequest(const OperatorArguments& arguments, const char* programPath) {
    std::string config = arguments.config.empty() ? defaultConfigPath(programPath) : arguments.config;
    Coupler coupler;
    std::string why;
    OperatorRequest request;
    bool opened = openInstance(config, coupler, &why);
    if (opened) coupler.readStates();
    if (!opened || !buildRequest(arguments, coupler, &request, &why)) {
        std::fprintf(stderr, "zentok %s: %s; nothing changed\n", arguments.command.c_str(), why.c_str());
        return kOperatorRefused;
    }
    std::string base = requestName();
    if (!placeRequest(base, formatRequest(request), &why)) {
        std::fprintf(stderr, "zentok %s: %s; nothing changed\n", arguments.command.c_str(), why.c_str());
        return kOperatorRefused;
    }
    std::string answer;
    bool answered = awaitAnswer(base, kAnswerWaitMs, &answer);
    bool runs = !answered && zentokRunsHere();
    if (runs && requestWaits(base)) {
        logf(Log::Always, "zentok %s: Zentok runs but is busy (a read under way?); waiting for its answer\n",
             arguments.command.c_str());
        answered = awaitAnswer(base, kBusyWaitMs, &answer);
    }
    // Zentok answers before it removes the request: a request gone without
    // an answer was taken, and only its answer was lost (a full disk).
    if (!answered && !requestWaits(base)) {
        answered = awaitAnswer(base, kAnswerPollMs, &answer);
        if (!answered) {
            logf(Log::Always,
                 "zentok %s: Zentok took the request but could not write its answer (a full disk?): whether "
                 "it took effect, `zentok status` and Zentok's log say\n",
                 arguments.command.c_str());
            return kOperatorNoAnswer;
        }
    }
    if (!answered) {
        if (runs)
            logf(Log::Always, "zentok %s: Zentok runs but did not answer within %d s: it may hang. ",
                 arguments.command.c_str(), (kAnswerWaitMs + kBusyWaitMs) / 1000);
        else
            logf(Log::Always,
                 "zentok %s: no Zentok is answering (stopped or restarting): NOTIFICATIONS ARE NOT GOING "
                 "OUT. ",
                 arguments.command.c_str());
        logf(Log::Always,
             "The request waits in %s and takes effect when Zentok gets to it within %lld min.\n",
             kRequestFolder, static_cast<long long>(kOldestRequestSeconds / 60));
        return kOperatorNoAnswer;
    }
    bool ok = answer.compare(0, 3, "ok\n") == 0;
    size_t firstLine = answer.find('\n');
    std::string message = firstLine == std::string::npos ? answer : answer.substr(firstLine + 1);
    std::fputs(message.c_str(), ok ? stdout : stderr);
    return ok ? kOperatorDone : kOperatorRefused;
}
