// The request folder: the operator's commands reach the running program as
// files, each a request from the outside that is read strictly and bounded,
// answered (also when it is damaged) and removed, never trusted.
#include "cycle/OperatorRequest.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <vector>

#include "base/Alarm.h"
#include "base/Clock.h"
#include "base/DurableFile.h"
#include "base/ErrorText.h"
#include "base/Log.h"
#include "base/Records.h"
#include "base/Text.h"
#include "cycle/Coupler.h"

namespace {

constexpr const char* kRequestHeader = "zentok request 1";
// Locked shared by the running program, so a command can tell a busy
// Zentok from a stopped one without a process id and without a write.
constexpr const char* kRunningMark = "zentok_requests/.running";
constexpr int kRequestsPerCall = 16;  // a flood of requests cannot stall the loop
constexpr int kLongestShelveSeconds = 7 * 24 * 3600;
constexpr time_t kUncollectedSeconds = 600;  // an answer nobody took in this time is removed

// Says why a request is refused; false, for the caller to return.
bool refuse(std::string* why, const std::string& reason) {
    *why = reason;
    return false;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool hasControlCharacter(const std::string& value) {
    return std::any_of(value.begin(), value.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// The value of one field, checked against its size.
bool takeField(const std::string& name, const std::string& value, OperatorRequest* request,
               std::string* why) {
    struct Text {
        const char* name;
        std::string* target;
        size_t size;
    } texts[] = {{"command", &request->command, 16},
                 {"node", &request->node, kNameSize},
                 {"by", &request->by, kOperatorNameSize},
                 {"note", &request->note, kOperatorNoteSize}};
    for (const Text& text : texts) {
        if (name != text.name) continue;
        if (value.size() >= text.size)
            return refuse(why, name + " longer than " + std::to_string(text.size - 1));
        *text.target = value;
        return true;
    }
    if (name == "time" || name == "episode") {
        if (value.empty() || value.size() > 12 || value.find_first_not_of("0123456789") != std::string::npos)
            return refuse(why, name + " is no whole number");
        (name == "time" ? request->time : request->episode) = std::stoll(value);
        return true;
    }
    if (name == "seconds") {
        if (value.empty() || value.size() > 7 || value.find_first_not_of("0123456789") != std::string::npos)
            return refuse(why, "seconds is no whole number");
        request->seconds = std::stoi(value);
        if (request->seconds < 1 || request->seconds > kLongestShelveSeconds)
            return refuse(why, "seconds beyond 1 s to 7 days");
        return true;
    }
    *why = "unknown field '" + name.substr(0, 20) + "'";
    return false;
}

bool complete(const OperatorRequest& request, std::string* why) {
    if (request.command != "ack" && request.command != "shelve" && request.command != "unshelve")
        return refuse(why, "unknown command '" + request.command + "'");
    if (request.node.empty()) return refuse(why, "no node named");
    if (request.command == "ack" && request.by.empty()) return refuse(why, "no name of who acknowledges");
    if (request.command == "shelve" && request.seconds == 0) return refuse(why, "no shelve time");
    return true;
}

// What was said once and is not said again while it stays so.
struct FolderNotes {
    bool linkSaid = false;
    std::set<std::string> skipped;      // entries under a request's name that are no plain file
    std::set<std::string> unremovable;  // carried out but not removable: never carried out twice
};

FolderNotes& notes() {
    static FolderNotes folderNotes;
    return folderNotes;
}

// The folder itself, never through a link: whoever may write the working
// directory must not make the program list, answer into or delete from
// another folder. -1 when it is missing or no folder, said once.
int openFolder() {
    int fd = ::open(kRequestFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        notes().linkSaid = false;
    } else if ((errno == ELOOP || errno == ENOTDIR) && !notes().linkSaid) {
        notes().linkSaid = true;
        logf(Log::Always,
             "request folder '%s' is a symbolic link or no folder: not followed, operator commands cannot "
             "reach this Zentok\n",
             kRequestFolder);
    }
    return fd;
}

const char* kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISFIFO(mode)) return "a pipe";
    if (S_ISSOCK(mode)) return "a socket";
    return "a device";
}

std::string ownerName(uid_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_name[0])
        return std::string(found->pw_name).substr(0, kOperatorNameSize - 1);
    return std::to_string(uid);
}

struct Origin {
    std::string owner;
    int64_t madeAt = 0;
};

bool acknowledgeAll(Coupler& coupler, const Coupler::AckRequest& ack, std::string* answer) {
    bool any = false;
    for (int i = 0; i < coupler.nodeCount; ++i) {
        Node& node = coupler.nodes[i];
        if (!node.active || node.triggerTime == 0 || node.acknowledged()) continue;
        std::string line;
        any = coupler.acknowledge(node, ack, &line) || any;
        *answer += (answer->empty() ? "" : "\n") + line;
    }
    if (!any && answer->empty()) *answer = "no active alarm that is not acknowledged, nothing changed";
    return any;
}

bool carryOut(Coupler& coupler, const OperatorRequest& request, const Origin& origin, std::string* answer) {
    Coupler::AckRequest ack{request.by.c_str(), origin.owner.c_str(), request.note.c_str(), origin.madeAt,
                            request.episode};
    if (request.command == "ack" && request.node == "all") return acknowledgeAll(coupler, ack, answer);
    Node* node = coupler.nodeNamed(request.node.c_str());
    if (!node) {
        *answer = "no node '" + request.node + "' in the configuration, nothing changed";
        return false;
    }
    if (request.command == "ack") return coupler.acknowledge(*node, ack, answer);
    if (request.command == "shelve")
        return coupler.shelveNode(*node, request.seconds, origin.madeAt, request.note.c_str(), answer);
    return coupler.unshelveNode(*node, answer);
}

// The file's text and status when it is a plain file within the bound; no link is followed.
bool readRequestFile(int folder, const std::string& name, std::string* text, struct stat* status,
                     std::string* why) {
    int fd = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return refuse(why, "cannot be read");
    bool plain = ::fstat(fd, status) == 0 && S_ISREG(status->st_mode);
    if (plain && status->st_size <= static_cast<off_t>(kMaxRequestBytes)) {
        char buffer[kMaxRequestBytes + 1];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n >= 0 && static_cast<size_t>(n) <= kMaxRequestBytes)
            text->assign(buffer, static_cast<size_t>(n));
        else
            plain = false;
    } else {
        plain = false;
    }
    ::close(fd);
    if (!plain) *why = "not a plain file of at most " + std::to_string(kMaxRequestBytes) + " bytes";
    return plain;
}

// Whoever may write the folder may have put a link where the answer goes: it
// is written under a fresh name that follows no link and renamed over
// whatever is there, so no file outside the folder is ever written. False
// with errno when it could not be written (a full disk).
bool writeAnswer(int folder, const std::string& base, const std::string& text) {
    std::string hidden = "." + base + kAnswerSuffix + ".tmp";
    ::unlinkat(folder, hidden.c_str(), 0);
    int fd = ::openat(folder, hidden.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0660);
    if (fd < 0) return false;
    bool written = writeAll(fd, text);
    int error = errno;
    ::close(fd);
    if (written && ::renameat(folder, hidden.c_str(), folder, (base + kAnswerSuffix).c_str()) == 0)
        return true;
    error = written ? errno : error;
    ::unlinkat(folder, hidden.c_str(), 0);
    errno = error;
    return false;
}

// The request's answer, and whether it was carried out.
bool answerOf(Coupler& coupler, int folder, const std::string& name, std::string* answer) {
    std::string text, why;
    struct stat status {};
    OperatorRequest request;
    if (!readRequestFile(folder, name, &text, &status, &why) || !parseRequest(text, &request, &why)) {
        *answer = "request refused: " + why;
        logf(Log::Always, "operator request '%s' refused: %s\n", name.c_str(), why.c_str());
        return false;
    }
    // A request of an older version carries no time: it was made when its file was.
    Origin origin{ownerName(status.st_uid), request.time != 0 ? request.time : status.st_mtime};
    if (currentTime() - origin.madeAt > kOldestRequestSeconds) {
        *answer = "request made " + formatDateTime(origin.madeAt) + " dropped: older than " +
                  std::to_string(kOldestRequestSeconds / 60) + " min, nothing changed";
        logf(Log::Always, "operator request '%s' dropped: made %s, older than %lld min\n", name.c_str(),
             formatDateTime(origin.madeAt).c_str(), static_cast<long long>(kOldestRequestSeconds / 60));
        return false;
    }
    bool done = carryOut(coupler, request, origin, answer);
    // Said here too: the command that asked may have gone (one that waited for a start).
    if (!done)
        logf(Log::Always, "operator request '%s' not carried out: %s\n", name.c_str(), answer->c_str());
    return done;
}

void serveOne(Coupler& coupler, int folder, const std::string& name) {
    std::string base = name.substr(0, name.size() - std::string(kRequestSuffix).size());
    std::string answer;
    bool ok = answerOf(coupler, folder, name, &answer);
    if (!writeAnswer(folder, base, formatAnswer(ok, answer)))
        logf(Log::Always, "operator request '%s' %s, but its answer cannot be written, err '%s'\n",
             name.c_str(), ok ? "carried out" : "refused", errorText(errno));
    if (::unlinkat(folder, name.c_str(), 0) != 0 && errno != ENOENT) {
        notes().unremovable.insert(name);
        logf(Log::Always, "operator request '%s' cannot be removed, err '%s': it is not carried out again\n",
             name.c_str(), errorText(errno));
    }
}

void removeIfUncollected(int folder, const std::string& name, time_t now) {
    if (!endsWith(name, kAnswerSuffix) && !endsWith(name, ".tmp")) return;
    struct stat status {};
    if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        now - status.st_mtime > kUncollectedSeconds)
        ::unlinkat(folder, name.c_str(), 0);
}

// Whether the entry is a request to carry out now: a plain file, not one
// carried out before. Anything else is said once, while it stays.
bool waitingRequest(int folder, const std::string& name, std::set<std::string>* skipped) {
    struct stat status {};
    if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (!S_ISREG(status.st_mode)) {
        skipped->insert(name);
        if (notes().skipped.count(name) == 0)
            logf(Log::Always, "operator request '%s' is %s, no plain file: skipped\n", name.c_str(),
                 kindOf(status.st_mode));
        return false;
    }
    return notes().unremovable.count(name) == 0;
}

}  // namespace

std::string formatRequest(const OperatorRequest& request) {
    std::string text =
        std::string(kRequestHeader) + "\ncommand=" + request.command + "\nnode=" + request.node + "\n";
    if (!request.by.empty()) text += "by=" + request.by + "\n";
    if (!request.note.empty()) text += "note=" + request.note + "\n";
    if (request.seconds > 0) text += "seconds=" + std::to_string(request.seconds) + "\n";
    if (request.time > 0) text += "time=" + std::to_string(request.time) + "\n";
    if (request.episode > 0) text += "episode=" + std::to_string(request.episode) + "\n";
    return text;
}

bool parseRequest(const std::string& text, OperatorRequest* request, std::string* why) {
    *request = OperatorRequest{};
    if (text.size() > kMaxRequestBytes) return refuse(why, "too long");
    if (text.compare(0, std::string(kRequestHeader).size() + 1, std::string(kRequestHeader) + "\n") != 0)
        return refuse(why, "not a Zentok request");
    std::vector<std::string> seen;
    size_t start = std::string(kRequestHeader).size() + 1;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) return refuse(why, "last line unfinished");
        std::string line = text.substr(start, end - start);
        start = end + 1;
        size_t equals = line.find('=');
        if (equals == std::string::npos) return refuse(why, "a line without '='");
        std::string name = line.substr(0, equals), value = line.substr(equals + 1);
        if (hasControlCharacter(line)) return refuse(why, "a line holds a control character");
        if (std::find(seen.begin(), seen.end(), name) != seen.end())
            return refuse(why, name.substr(0, 20) + " given twice");
        seen.push_back(name);
        if (!takeField(name, value, request, why)) return false;
    }
    return complete(*request, why);
}

bool isRequestName(const std::string& fileName) {
    if (fileName.size() >= kMaxRequestNameSize || !endsWith(fileName, kRequestSuffix)) return false;
    std::string base = fileName.substr(0, fileName.size() - std::string(kRequestSuffix).size());
    return !base.empty() &&
           base.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_") ==
               std::string::npos;
}

std::string formatAnswer(bool ok, const std::string& message) {
    return std::string(ok ? "ok" : "refused") + "\n" + message + "\n";
}

std::string acknowledgerText(const char* by, const char* owner, const char* via) {
    std::string who = owner && *owner ? std::string(by) + " (user " + owner + ")" : std::string(by);
    return via && *via ? who + " via " + via : who;
}

void prepareRequestFolder() {
    // The service's umask and group decide who may write it (docs/packaging.md).
    if (::mkdir(kRequestFolder, 0770) != 0 && errno != EEXIST)
        logf(Log::Always,
             "request folder '%s' cannot be made, err '%s': operator commands cannot reach this Zentok\n",
             kRequestFolder, errorText(errno));
    // Held until the process ends; a command's probe holds it only for a moment.
    static int running = -1;
    if (running >= 0) return;
    int folder = openFolder();
    if (folder < 0) return;
    running = ::openat(folder, ".running", O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0660);
    ::close(folder);
    if (running >= 0) ::flock(running, LOCK_SH);
}

bool zentokRunsHere() {
    int fd = ::open(kRunningMark, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

void serveOperatorRequests(Coupler& coupler) {
    int fd = openFolder();
    if (fd < 0) return;
    DIR* folder = ::fdopendir(fd);
    if (!folder) {
        ::close(fd);
        return;
    }
    std::vector<std::string> requests;
    std::set<std::string> skipped, present;
    time_t now = std::time(nullptr);
    while (dirent* entry = ::readdir(folder)) {
        std::string name = entry->d_name;
        present.insert(name);
        if (!isRequestName(name))
            removeIfUncollected(fd, name, now);
        else if (waitingRequest(fd, name, &skipped))
            requests.push_back(name);
    }
    // What is gone is forgotten: a name that comes back is said again.
    notes().skipped = skipped;
    for (auto it = notes().unremovable.begin(); it != notes().unremovable.end();)
        it = present.count(*it) ? std::next(it) : notes().unremovable.erase(it);
    // The names begin with the time they were written, so the oldest goes first.
    std::sort(requests.begin(), requests.end());
    if (requests.size() > static_cast<size_t>(kRequestsPerCall)) requests.resize(kRequestsPerCall);
    for (const std::string& name : requests) serveOne(coupler, fd, name);
    ::closedir(folder);
}
