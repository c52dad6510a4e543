// The request folder: the operator's commands reach the running program as
// files, each a request from the outside that is read strictly and bounded,
// answered (also when it is damaged) and removed, never trusted.
#include "cycle/OperatorRequest.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "base/Alarm.h"
#include "base/DurableFile.h"
#include "base/Records.h"
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

bool acknowledgeAll(Coupler& coupler, const OperatorRequest& request, std::string* answer) {
    bool any = false;
    for (int i = 0; i < coupler.nodeCount; ++i) {
        Node& node = coupler.nodes[i];
        if (!node.active || node.triggerTime == 0 || node.acknowledged()) continue;
        std::string line;
        any = coupler.acknowledge(node, request.by.c_str(), request.note.c_str(), &line) || any;
        *answer += (answer->empty() ? "" : "\n") + line;
    }
    if (!any) *answer = "no active alarm that is not acknowledged, nothing changed";
    return any;
}

bool carryOut(Coupler& coupler, const OperatorRequest& request, std::string* answer) {
    if (request.command == "ack" && request.node == "all") return acknowledgeAll(coupler, request, answer);
    Node* node = coupler.nodeNamed(request.node.c_str());
    if (!node) {
        *answer = "no node '" + request.node + "' in the configuration, nothing changed";
        return false;
    }
    if (request.command == "ack")
        return coupler.acknowledge(*node, request.by.c_str(), request.note.c_str(), answer);
    if (request.command == "shelve")
        return coupler.shelveNode(*node, request.seconds, request.note.c_str(), answer);
    return coupler.unshelveNode(*node, answer);
}

// The file's text when it is a plain file within the bound; no link is followed.
bool readRequestFile(const std::string& path, std::string* text, std::string* why) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return refuse(why, "cannot be read");
    struct stat status {};
    bool plain = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    if (plain && status.st_size <= static_cast<off_t>(kMaxRequestBytes)) {
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
// whatever is there, so no file outside the folder is ever written.
void writeAnswer(const std::string& base, const std::string& text) {
    std::string hidden = std::string(kRequestFolder) + "/." + base + kAnswerSuffix + ".tmp";
    ::unlink(hidden.c_str());
    int fd = ::open(hidden.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0660);
    if (fd < 0) return;
    bool written = writeAll(fd, text);
    ::close(fd);
    if (!written ||
        ::rename(hidden.c_str(), (std::string(kRequestFolder) + "/" + base + kAnswerSuffix).c_str()) != 0)
        ::unlink(hidden.c_str());
}

void serveOne(Coupler& coupler, const std::string& name) {
    std::string path = std::string(kRequestFolder) + "/" + name;
    std::string base = name.substr(0, name.size() - std::string(kRequestSuffix).size());
    std::string text, why, answer;
    OperatorRequest request;
    bool ok = false;
    if (!readRequestFile(path, &text, &why) || !parseRequest(text, &request, &why)) {
        answer = "request refused: " + why;
        std::printf("operator request '%s' refused: %s\n", name.c_str(), why.c_str());
    } else {
        ok = carryOut(coupler, request, &answer);
    }
    writeAnswer(base, formatAnswer(ok, answer));
    ::unlink(path.c_str());
}

void removeIfUncollected(const std::string& name, time_t now) {
    if (!endsWith(name, kAnswerSuffix) && !endsWith(name, ".tmp")) return;
    std::string path = std::string(kRequestFolder) + "/" + name;
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && now - status.st_mtime > kUncollectedSeconds)
        ::unlink(path.c_str());
}

}  // namespace

std::string formatRequest(const OperatorRequest& request) {
    std::string text =
        std::string(kRequestHeader) + "\ncommand=" + request.command + "\nnode=" + request.node + "\n";
    if (!request.by.empty()) text += "by=" + request.by + "\n";
    if (!request.note.empty()) text += "note=" + request.note + "\n";
    if (request.seconds > 0) text += "seconds=" + std::to_string(request.seconds) + "\n";
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

void prepareRequestFolder() {
    // The service's umask and group decide who may write it (docs/packaging.md).
    if (::mkdir(kRequestFolder, 0770) != 0 && errno != EEXIST)
        std::printf(
            "request folder '%s' cannot be made, err '%s': operator commands cannot reach this Zentok\n",
            kRequestFolder, std::strerror(errno));
    // Held until the process ends; a command's probe holds it only for a moment.
    static int running = -1;
    if (running < 0) running = ::open(kRunningMark, O_RDONLY | O_CREAT | O_CLOEXEC, 0660);
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
    DIR* folder = ::opendir(kRequestFolder);
    if (!folder) return;
    std::vector<std::string> requests;
    time_t now = std::time(nullptr);
    while (dirent* entry = ::readdir(folder)) {
        std::string name = entry->d_name;
        if (isRequestName(name))
            requests.push_back(name);
        else
            removeIfUncollected(name, now);
    }
    ::closedir(folder);
    // The names begin with the time they were written, so the oldest goes first.
    std::sort(requests.begin(), requests.end());
    if (requests.size() > static_cast<size_t>(kRequestsPerCall)) requests.resize(kRequestsPerCall);
    for (const std::string& name : requests) serveOne(coupler, name);
}
