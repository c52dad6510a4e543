// Appending and rotating the alarm journal.
#include "cycle/AlarmJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/ErrorText.h"
#include "base/Log.h"

namespace {

// Rotated files are looked for up to this number, whatever KEEP says now,
// so a smaller KEEP after a larger one still finds the older files.
constexpr int kMostRotatedFiles = 1000;

std::string rotatedName(const std::string& name, int number) {
    return name + "." + std::to_string(number);
}

bool exists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

}  // namespace

void AlarmJournal::configure(const std::string& name, int64_t maxBytes, int keep) {
    if (name != name_) failing_ = false;
    name_ = name;
    maxBytes_ = maxBytes;
    keep_ = keep;
}

void AlarmJournal::record(const JournalRecord& record) {
    if (!enabled()) return;
    std::string error;
    if (append(formatJournalLine(record), &error)) {
        if (failing_) logf(Log::Always, "journal '%s' written again\n", name_.c_str());
        failing_ = false;
        return;
    }
    if (!failing_)
        logf(Log::Always, "journal '%s' not writable, err '%s': alarm events are not recorded until it is\n",
             name_.c_str(), error.c_str());
    failing_ = true;
}

bool AlarmJournal::append(const std::string& line, std::string* error) {
    struct stat status {};
    if (::stat(name_.c_str(), &status) == 0 && status.st_size > 0 &&
        status.st_size + static_cast<int64_t>(line.size()) > maxBytes_)
        rotate();
    int fd = ::open(name_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = errorText(errno);
        return false;
    }
    struct stat opened {};
    off_t before = ::fstat(fd, &opened) == 0 ? opened.st_size : -1;
    // A new file starts with its header, in the same write as its first line.
    std::string text = before == 0 ? std::string(kJournalHeader) + "\n" + line : line;
    ssize_t written = ::write(fd, text.data(), text.size());
    bool whole = written == static_cast<ssize_t>(text.size());
    if (!whole) {
        *error = written < 0 ? errorText(errno) : errorText(ENOSPC);
        // A part of a line (a disk that filled during the write) is taken back.
        if (written > 0 && (before < 0 || ::ftruncate(fd, before) != 0)) *error += ", a part of a line stays";
    }
    if (::close(fd) != 0 && whole) {
        *error = errorText(errno);
        return false;
    }
    return whole;
}

// NAME.KEEP goes, every other moves up by one, NAME becomes NAME.1.
void AlarmJournal::rotate() {
    if (keep_ <= 0) {
        ::unlink(name_.c_str());
        return;
    }
    ::unlink(rotatedName(name_, keep_).c_str());
    for (int number = keep_ - 1; number >= 1; --number)
        ::rename(rotatedName(name_, number).c_str(), rotatedName(name_, number + 1).c_str());
    ::rename(name_.c_str(), rotatedName(name_, 1).c_str());
}

std::vector<std::string> journalFiles(const std::string& name) {
    std::vector<std::string> files;
    int last = 0;
    while (last < kMostRotatedFiles && exists(rotatedName(name, last + 1))) ++last;
    for (int number = last; number >= 1; --number) files.push_back(rotatedName(name, number));
    if (exists(name)) files.push_back(name);
    return files;
}
