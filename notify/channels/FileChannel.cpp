// The file channel. Nothing is held open between notifications: an operator
// may rotate, read or delete the file at any time, and a dated name pattern
// needs no rollover logic of its own.
#include "notify/channels/FileChannel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "base/Clock.h"
#include "base/DurableFile.h"
#include "base/ErrorText.h"
#include "base/Log.h"
#include "base/Text.h"
#include "base/ValueText.h"
#include "notify/NoticeFields.h"

namespace {

std::string csvLine(const Notification& notification, const char* stamp) {
    std::string line;
    appendQuoted(&line, notification.sourceName.c_str());
    line.push_back(';');
    appendQuoted(&line, notification.address.c_str());
    line +=
        ';' + std::string(stamp) + ';' + formatValue(notification.value, notification.keepsDecimals) + ';';
    appendQuoted(&line, notification.text.c_str());
    line.push_back('\n');
    return line;
}

// Appends the whole line or nothing: after a failed or short write the file
// is cut back to its size before, so the next line never runs on from the
// remains of this one. Plain descriptors rather than stdio, whose buffer
// would try the rest of a failed line again when the file is closed.
// Returns 0, or the errno of the step that failed.
int appendLine(const char* path, const std::string& line) {
    int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    struct stat before {};
    int failure = ::fstat(fd, &before) == 0 ? 0 : errno;
    errno = 0;  // a short write leaves it alone
    if (!failure && !writeAll(fd, line)) {
        failure = errno ? errno : EIO;
        int cut = ::ftruncate(fd, before.st_size);
        (void)cut;  // should even that fail, no other repair is possible
    }
    if (::close(fd) != 0 && !failure) failure = errno;
    return failure;
}

// The channel's failure line: without it a lost notification leaves no trace.
void printFailure(const char* reason, const char* file) {
    logf(Log::Always, "notifyFile::notify, err '%s', file '%s'\n", reason, file);
}

// The name the pattern gives at `when`; empty when it expands to nothing.
std::string expandedName(const char* pattern, int64_t when) {
    return expandTimePattern(pattern, when, kPathSize);
}

// The end of the file, where a recent line stands.
std::string tailOf(const std::string& fname, size_t bytes) {
    std::string tail;
    int fd = ::open(fname.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return tail;
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        off_t from =
            status.st_size > static_cast<off_t>(bytes) ? status.st_size - static_cast<off_t>(bytes) : 0;
        tail.resize(static_cast<size_t>(status.st_size - from));
        ssize_t n = ::pread(fd, &tail[0], tail.size(), from);
        tail.resize(n > 0 ? static_cast<size_t>(n) : 0);
    }
    ::close(fd);
    return tail;
}

// Whether `content` holds the line csvLine makes for this notification with a
// time stamp at or after `since` (the stamp is the one part not known).
bool holdsLine(const std::string& content, const std::string& before, const std::string& after,
               int64_t since) {
    constexpr size_t kStampSize = 19;  // YYYY-MM-DD;hh:mm:ss
    for (size_t at = content.find(before); at != std::string::npos; at = content.find(before, at + 1)) {
        if (at != 0 && content[at - 1] != '\n') continue;
        size_t stamp = at + before.size();
        if (content.size() < stamp + kStampSize ||
            content.compare(stamp + kStampSize, after.size(), after) != 0)
            continue;
        std::string when = content.substr(stamp, kStampSize);
        when[10] = ' ';
        if (parseDateTime(when.c_str()) >= since) return true;
    }
    return false;
}

}  // namespace

FileChannel::FileChannel(char* rest) {
    copyText(namePattern, rest);
    // Patterns written with Windows separators name the same file here.
    for (char* c = namePattern; *c; ++c)
        if (*c == '\\') *c = '/';
}

bool FileChannel::notify(const Notification& notification, const DeliveryHandle& delivery) {
    // The line is stamped with the moment its notice tells of, so a line
    // written late (a retry after a full disk) still says when the plant
    // changed; it goes to the file the pattern names now, where a reader of
    // the current file finds it.
    time_t now = static_cast<time_t>(currentTime());
    time_t stamped = noticeTime(notification) > 0 ? static_cast<time_t>(noticeTime(notification)) : now;
    struct tm local {};
    if (!localtime_r(&stamped, &local)) {
        printFailure("no local time", namePattern);
        return false;
    }

    // A name that does not fit (or an empty pattern) expands to nothing and
    // the open below fails.
    std::string path = expandTimePattern(namePattern, static_cast<int64_t>(now), kPathSize);
    if (path.empty()) {
        printFailure("the name pattern gives no file name", namePattern);
        return false;
    }

    char stamp[kNameSize];
    if (std::strftime(stamp, sizeof stamp, "%Y-%m-%d;%H:%M:%S", &local) == 0) stamp[0] = 0;

    int failure = appendLine(path.c_str(), csvLine(notification, stamp));
    if (failure) printFailure(errorText(failure), path.c_str());
    settle(delivery, failure == 0);
    return failure == 0;
}

bool FileChannel::holdsDelivery(const Notification& notification, int64_t since) {
    // The line as csvLine writes it, split around its time stamp.
    const std::string marker = "\x01";
    std::string line = csvLine(notification, marker.c_str());
    size_t cut = line.find(";" + marker + ";");
    if (cut == std::string::npos) return false;
    std::string before = line.substr(0, cut + 1);
    std::string after = line.substr(cut + 1 + marker.size());
    constexpr size_t kTailBytes = 1u << 20;
    for (int64_t when : {since, currentTime()}) {
        std::string fname = expandedName(namePattern, when);
        if (!fname.empty() && holdsLine(tailOf(fname, kTailBytes), before, after, since)) return true;
    }
    return false;
}
