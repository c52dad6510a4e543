// Fuzzes the outbox reader with whole files, and checks that what the writer
// makes of the entries it kept reads back to the same file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "cycle/Outbox.h"

namespace {

// The file form has four characters for the year; hand-written dates that
// normalise beyond it cannot be written back in that form.
bool fitsTheFileForm(int64_t seconds) {
    if (seconds == 0) return true;
    time_t clock = static_cast<time_t>(seconds);
    struct tm utc {};
    if (!gmtime_r(&clock, &utc)) return false;
    long long year = static_cast<long long>(utc.tm_year) + 1900;
    return year >= 1000 && year <= 9999;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "UTC", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<int> damaged;
    std::vector<OutboxEntry> entries = parseOutbox(text, &damaged);
    for (const OutboxEntry& entry : entries)
        if (!fitsTheFileForm(entry.triggerTime) || !fitsTheFileForm(entry.nextAttempt)) return 0;
    std::string written = formatOutbox(entries);
    std::vector<int> again;
    std::string rewritten = formatOutbox(parseOutbox(written, &again));
    if (rewritten != written || !again.empty()) {
        std::fprintf(stderr, "outbox does not read back:\n%s---\n%s", written.c_str(), rewritten.c_str());
        std::abort();
    }
    return 0;
}
