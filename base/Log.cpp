// The process-wide log level and the time-stamped log line.
#include "base/Log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "base/Clock.h"

namespace {
std::atomic<int> gLogLevel{0};
}

int logLevel() {
    return gLogLevel.load(std::memory_order_relaxed);
}
void setLogLevel(int level) {
    gLogLevel.store(level, std::memory_order_relaxed);
}

bool logging(Log level) {
    return logLevel() >= static_cast<int>(level);
}

void logf(Log level, const char* format, ...) {
    if (!logging(level)) return;
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
}

void logMessage(int level, const char* text) {
    if (!text || logLevel() < level) return;
    time_t now = static_cast<time_t>(currentTime());
    struct tm local {};
    localtime_r(&now, &local);
    std::printf("%04d-%02d-%02d %02d:%02d:%02d %s\n", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_sec, text);
}
