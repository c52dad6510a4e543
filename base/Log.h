// The process-wide log level and the time-stamped log line.
#pragma once

// The log level (0..9) is process-wide and survives configuration reloads;
// only a "coupler;loglevel" line changes it.
int logLevel();
void setLogLevel(int level);

// Prints "YYYY-MM-DD hh:mm:ss text" when the log level is at least `level`.
void logMessage(int level, const char* text);
