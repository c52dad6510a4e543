// The file channel. Nothing is held open between notifications: an operator
// may rotate, read or delete the file at any time, and a dated name pattern
// needs no rollover logic of its own.
#include "notify/notifyFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "core/Clock.h"
#include "core/Text.h"

namespace {

// Appends a field in double quotes; a quote inside it is doubled, as in the
// states file, so readers of the file still see the field boundaries.
void appendQuoted(std::string* line, const char* text) {
    line->push_back('"');
    for (const char* c = text ? text : ""; *c; ++c) {
        if (*c == '"') line->push_back('"');
        line->push_back(*c);
    }
    line->push_back('"');
}

std::string csvLine(const Node& node, const char* stamp, const char* text) {
    std::string line;
    appendQuoted(&line, node.source ? node.source->name : "");
    line.push_back(';');
    appendQuoted(&line, node.address);
    // Room for the time stamp and the widest whole number a double prints as.
    char middle[kNameSize + 400];
    std::snprintf(middle, sizeof middle, ";%s;%.0lf;", stamp, node.value);
    line.append(middle);
    appendQuoted(&line, text);
    line.push_back('\n');
    return line;
}

// Writes all of `data`, resuming after short writes; false when the file
// takes no more (disk full, size limit, I/O error).
bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Appends the whole line or nothing: after a failed or short write the file
// is cut back to its size before, so the next line never runs on from the
// remains of this one. Plain descriptors rather than stdio, whose buffer
// would try the rest of a failed line again when the file is closed.
bool appendLine(const char* path, const std::string& line) {
    int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    struct stat before {};
    bool ok = ::fstat(fd, &before) == 0;
    if (ok && !writeAll(fd, line)) {
        ok = false;
        int cut = ::ftruncate(fd, before.st_size);
        (void)cut;  // should even that fail, no other repair is possible
    }
    if (::close(fd) != 0) ok = false;
    return ok;
}

}  // namespace

notifyFile::notifyFile(char* rest) {
    copyText(namePattern, rest);
    // Patterns written with Windows separators name the same file here.
    for (char* c = namePattern; *c; ++c)
        if (*c == '\\') *c = '/';
}

bool notifyFile::notify(const Node& node, const char* text, const DeliveryHandle& delivery) {
    // One clock reading for both, so a line written at midnight lands in the
    // file of the day its time stamp names.
    time_t now = static_cast<time_t>(currentTime());
    struct tm local {};
    if (!localtime_r(&now, &local)) return false;

    // A name that does not fit (or an empty pattern) expands to nothing and
    // the open below fails.
    char path[kPathSize];
    if (std::strftime(path, sizeof path, namePattern, &local) == 0) path[0] = 0;
    if (!path[0]) return false;

    char stamp[kNameSize];
    if (std::strftime(stamp, sizeof stamp, "%Y-%m-%d;%H:%M:%S", &local) == 0) stamp[0] = 0;

    bool ok = appendLine(path, csvLine(node, stamp, text));
    settle(delivery, ok);
    return ok;
}
