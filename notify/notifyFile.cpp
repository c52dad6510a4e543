// The file channel. The file is opened and closed for every notification, so
// other programs may read or move it in between, and a dated pattern starts a
// new file as soon as the expanded name changes.
#include "notify/notifyFile.h"

#include <cstdio>
#include <ctime>

#include "core/Clock.h"
#include "core/Text.h"

namespace {

// Writes a field in double quotes; a quote inside it is doubled, as in the
// states file, so readers of the file still see the field boundaries.
bool writeQuoted(std::FILE* file, const char* text) {
    if (std::fputc('"', file) == EOF) return false;
    for (const char* c = text ? text : ""; *c; ++c) {
        if (*c == '"' && std::fputc('"', file) == EOF) return false;
        if (std::fputc(*c, file) == EOF) return false;
    }
    return std::fputc('"', file) != EOF;
}

}  // namespace

notifyFile::notifyFile(char* rest) {
    copyText(namePattern, rest);
    // Patterns written with Windows separators name the same file here.
    for (char* c = namePattern; *c; ++c)
        if (*c == '\\') *c = '/';
}

bool notifyFile::notify(const Node& node, const char* text, const DeliveryHandle& delivery) {
    // One moment for the file name and the time stamp.
    time_t now = static_cast<time_t>(currentTime());
    struct tm local {};
    if (!localtime_r(&now, &local)) return false;

    // A name that does not fit (or an empty pattern) expands to nothing and
    // the open below fails.
    char fname[kPathSize];
    if (std::strftime(fname, sizeof fname, namePattern, &local) == 0) fname[0] = 0;
    if (!fname[0]) return false;

    std::FILE* file = std::fopen(fname, "a");
    if (!file) return false;

    char tstr[kNameSize];
    if (std::strftime(tstr, sizeof tstr, "%Y-%m-%d;%H:%M:%S", &local) == 0) tstr[0] = 0;

    bool ok = writeQuoted(file, node.source ? node.source->name : "") && std::fputc(';', file) != EOF &&
              writeQuoted(file, node.address) && std::fprintf(file, ";%s;%.0lf;", tstr, node.value) >= 0 &&
              writeQuoted(file, text) && std::fputc('\n', file) != EOF;
    if (std::fclose(file) != 0) ok = false;
    settle(delivery, ok);
    return ok;
}
