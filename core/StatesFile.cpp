// The node states file: keeps each node's trigger time, last read time, read
// result and value across restarts and reloads, so a fired node is not
// notified again. It is read at the start of every cycle, so a hand edit
// between two cycles takes effect at the next one, and rewritten whole after
// the sources have been read.
#include "core/StatesFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <string>

#include "core/Coupler.h"
#include "core/Text.h"

namespace {

constexpr size_t kLineSize = 5001;  // lines of up to 5000 characters

// Reads one line without its line feed into `line`. The part of a longer
// line that does not fit is dropped, so it can never be taken for a line of
// its own. False at the end of the file.
bool readLine(FILE* file, char* line, size_t capacity) {
    size_t length = 0;
    int c = std::getc(file);
    if (c == EOF) return false;
    for (; c != EOF && c != '\n'; c = std::getc(file))
        if (length + 1 < capacity) line[length++] = static_cast<char>(c);
    line[length] = 0;
    return true;
}

// "%Y-%m-%d %H:%M:%S" in local time; an empty text for no time.
void formatTime(char* out, size_t capacity, int64_t seconds) {
    out[0] = 0;
    if (seconds == 0) return;
    time_t clock = static_cast<time_t>(seconds);
    struct tm local {};
    if (!localtime_r(&clock, &local)) return;
    std::snprintf(out, capacity, "%04lld-%02d-%02d %02d:%02d:%02d", static_cast<long long>(local.tm_year) + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

// A key between double quotes carries each quote doubled, which the field
// tokenizer reads back as one quote.
void doubleQuotes(char* out, size_t capacity, const char* text) {
    size_t length = 0;
    for (; text && *text; ++text) {
        size_t needed = *text == '"' ? 2 : 1;
        if (length + needed >= capacity) break;
        out[length++] = *text;
        if (*text == '"') out[length++] = '"';
    }
    out[length] = 0;
}

}  // namespace

void readStatesFrom(Coupler& coupler, FILE* file) {
    if (!file) return;
    char line[kLineSize];
    while (readLine(file, line, sizeof line)) {
        if (line[0] == '#') continue;
        char* cursor = line;
        char* sourceName = nextToken(&cursor, ";");
        if (!sourceName) continue;
        SourceEntry* source = coupler.findSource(sourceName);
        if (!source) continue;  // a source the configuration no longer has
        char* address = nextToken(&cursor, ";");
        if (!address) continue;
        Node* node = coupler.findNode(address, source, false);
        if (!node) continue;

        char* field = nextToken(&cursor, ";");
        node->triggerTime = field ? parseDateTime(field) : 0;
        field = nextToken(&cursor, ";");
        node->lastRead = field ? parseDateTime(field) : 0;
        field = nextToken(&cursor, ";");
        node->readError = field ? parseInt(field) : 0;
        field = nextToken(&cursor, ";");
        node->value = field ? std::strtod(field, nullptr) : 0.0;
        // A recorded firing comes back as fired and sent, so it is not notified again.
        if (node->triggerTime != 0) {
            node->active = true;
            node->sent = true;
        }
    }
}

bool writeStatesTo(const Coupler& coupler, FILE* file) {
    if (!file) return false;
    bool ok = true;
    for (int i = 0; i < coupler.nodeCount; ++i) {
        const Node& node = coupler.nodes[i];
        char sourceName[2 * kNameSize], address[2 * kNameSize];
        // A node placed before every source line has no source: its key is empty.
        doubleQuotes(sourceName, sizeof sourceName, node.source ? node.source->name : "");
        doubleQuotes(address, sizeof address, node.address);
        char triggerTime[kNameSize], lastRead[kNameSize];
        formatTime(triggerTime, sizeof triggerTime, node.triggerTime);
        formatTime(lastRead, sizeof lastRead, node.lastRead);
        if (std::fprintf(file, "\"%s\";\"%s\";%s;%s;%d;%.0lf\n", sourceName, address, triggerTime, lastRead,
                         node.readError, node.value) < 0)
            ok = false;
    }
    return ok;
}

void Coupler::readStates() {
    if (!statesName[0]) return;
    FILE* file = std::fopen(statesName, "r");
    if (!file) return;  // on the first start there is no file yet
    readStatesFrom(*this, file);
    std::fclose(file);
}

void Coupler::writeStates() {
    if (!statesName[0]) return;
    // With no node loaded (the configuration file is missing) the file is left
    // as it is, so the states are still there when the configuration comes back.
    if (nodeCount == 0) return;

    // A states file that is a symbolic link is replaced at the place it points to.
    const char* path = statesName;
    char resolved[PATH_MAX];
    struct stat status {};
    if (lstat(statesName, &status) == 0 && S_ISLNK(status.st_mode) && realpath(statesName, resolved))
        path = resolved;

    // The new contents go to a temporary file beside the old one, which is
    // renamed over it only once it is complete and on disk: a crash or a full
    // disk during the write leaves the previous states in place instead of an
    // empty file that would repeat every notification at the next start.
    std::string temporary = std::string(path) + ".tmp";
    unlink(temporary.c_str());  // left behind by a run that died while writing
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return;
    if (stat(path, &status) == 0 && S_ISREG(status.st_mode)) fchmod(fd, status.st_mode & 07777);
    FILE* file = fdopen(fd, "w");
    if (!file) {
        close(fd);
        unlink(temporary.c_str());
        return;
    }
    bool ok = writeStatesTo(*this, file);
    ok = std::fflush(file) == 0 && ok;
    ok = ok && fsync(fileno(file)) == 0;
    ok = std::fclose(file) == 0 && ok;
    if (!ok || std::rename(temporary.c_str(), path) != 0) unlink(temporary.c_str());
}
