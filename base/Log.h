// The process-wide log level and the time-stamped log line.
#pragma once

// The log level (0..9) is process-wide and survives configuration reloads;
// only a "coupler;loglevel" line changes it.
int logLevel();
void setLogLevel(int level);

// The levels of the console lines: a line of a level is printed when the
// log level is that or higher. Every line the running program prints goes
// through logf; the texts are an interface operators and tests read, so each
// is written in one place. The reports of the operator's commands (status,
// report, probe, --help) are their output, not log lines, and print directly.
enum class Log : int {
    Always = 0,      // the start, the configuration's messages, notices handed over and their failures
    Failure = 1,     // a failed read or connect, the detail behind an S7 failure
    Connection = 3,  // connects and closes, S7 read jobs, the configuration watch
    Detail = 4,      // links opened, S7 packets in hex
    Read = 6,        // every Modbus request
    Trace = 9,       // values read, every chunk received, curl requests, the cycle line
};

// True when lines of `level` are printed now.
bool logging(Log level);

// printf to standard output when the log level is at least `level`; the
// compiler checks the arguments against the format.
__attribute__((format(printf, 2, 3))) void logf(Log level, const char* format, ...);

// Prints "YYYY-MM-DD hh:mm:ss text" when the log level is at least `level`.
void logMessage(int level, const char* text);
