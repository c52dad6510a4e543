// stdout as a cookie stream that puts journald's priority prefix on each line.
#include "base/JournalOutput.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/DurableFile.h"

namespace {

bool startsWith(const char* line, size_t length, const char* prefix) {
    size_t n = std::strlen(prefix);
    return length >= n && std::memcmp(line, prefix, n) == 0;
}

bool contains(const char* line, size_t length, const char* part) {
    size_t n = std::strlen(part);
    for (size_t at = 0; at + n <= length; ++at)
        if (std::memcmp(line + at, part, n) == 0) return true;
    return false;
}

// Failure lines: the data sources' "-" lines, the parser's errors (which end
// the program) and the channels' and S7 driver's failure reports.
const char* const kErrorStarts[] = {
    "-", "*** ini error", "*** ini file", "connectplc: ", "initadapter: ", "Simatic_USB: "};
const char* const kErrorParts[] = {", err ", " err '", " failed", " out of range", ": given up after "};
// Lines the parser skips and the configuration check's findings.
const char* const kWarningStarts[] = {"*** line ignored", "*** warning"};
// The outbox's reports: a retry or a dropped entry is a warning, a
// notification given up or an outbox that cannot be written an error.
const char* const kOutboxStart = "outbox";

}  // namespace

int linePriority(const char* line, size_t length) {
    if (!line) return kPriorityNone;
    for (const char* start : kErrorStarts)
        if (startsWith(line, length, start)) return kPriorityError;
    for (const char* start : kWarningStarts)
        if (startsWith(line, length, start)) return kPriorityWarning;
    // A channel's report echoes the notification text at its end; words in
    // that text ("pump failed") say nothing about the channel.
    size_t reported = length;
    for (size_t at = 0; at + 7 <= length; ++at)
        if (std::memcmp(line + at, " text '", 7) == 0) {
            reported = at;
            break;
        }
    for (const char* part : kErrorParts)
        if (contains(line, reported, part)) return kPriorityError;
    if (startsWith(line, length, kOutboxStart)) return kPriorityWarning;
    return kPriorityNone;
}

bool standardOutputIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (!stream) return false;
    unsigned long long device = 0, inode = 0;
    char rest = 0;
    if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &rest) != 2) return false;
    struct stat status {};
    if (fstat(STDOUT_FILENO, &status) != 0) return false;
    return static_cast<unsigned long long>(status.st_dev) == device &&
           static_cast<unsigned long long>(status.st_ino) == inode;
}

namespace {

// Longer text without a line end is passed on as a line of its own.
constexpr size_t kMaxPendingLine = 16384;

// The stream lock of stdout is held while this runs, so the pending text is
// never touched by two threads at once.
std::string gPending;

void emitLine(const std::string& line) {
    int priority = linePriority(line.data(), line.size());
    std::string out;
    if (priority != kPriorityNone) out = "<" + std::to_string(priority) + ">";
    out += line;
    out += '\n';
    writeAll(STDOUT_FILENO, out);
}

ssize_t writeClassified(void*, const char* data, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (data[i] == '\n') {
            emitLine(gPending);
            gPending.clear();
            continue;
        }
        gPending += data[i];
        if (gPending.size() >= kMaxPendingLine) {
            emitLine(gPending);
            gPending.clear();
        }
    }
    return static_cast<ssize_t>(length);
}

int closeClassified(void*) {
    if (!gPending.empty()) emitLine(gPending);
    gPending.clear();
    return 0;
}

}  // namespace

bool prefixJournalPriorities() {
    if (!standardOutputIsJournal()) return false;
    cookie_io_functions_t functions{};
    functions.write = writeClassified;
    functions.close = closeClassified;
    FILE* stream = fopencookie(nullptr, "w", functions);
    if (!stream) return false;
    std::fflush(stdout);
    stdout = stream;
    return true;
}
