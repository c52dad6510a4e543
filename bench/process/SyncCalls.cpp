// SyncCalls: strace -c over a program that timeout ends (see SyncCalls.h).
#include "SyncCalls.h"

#include <cstdlib>
#include <sstream>

#include "WatchedProcess.h"
#include "support/TestSupport.h"

namespace {

constexpr const char* kStrace = "/usr/bin/strace";
constexpr const char* kTimeout = "/usr/bin/timeout";

// strace -c prints one row per system call that was made, none when there
// was none: "% time  seconds  usecs/call  calls  [errors]  syscall"; calls is
// the fourth column.
int syncCallsIn(const std::string& summary) {
    std::istringstream lines(summary);
    std::string line;
    int calls = 0;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;) w.push_back(word);
        if (w.size() >= 5 && (w.back() == "fsync" || w.back() == "fdatasync"))
            calls += std::atoi(w[3].c_str());
    }
    return calls;
}

}  // namespace

int countSyncCalls(const std::vector<std::string>& argv, const std::string& workDir, int seconds,
                   std::string* output) {
    if (!testsupport::fileExists(kStrace) || !testsupport::fileExists(kTimeout)) return -1;
    std::string summary = workDir + "/strace-summary.txt";
    // --seccomp-bpf stops the program only at the traced calls, so strace
    // barely slows it down.
    std::vector<std::string> command{
        kStrace, "-f", "--seccomp-bpf", "-c", "-e",   "trace=fsync,fdatasync", "-o",
        summary, "--", kTimeout,        "-s", "TERM", std::to_string(seconds)};
    command.insert(command.end(), argv.begin(), argv.end());
    WatchedProcess traced;
    if (!traced.start(command, workDir)) return -1;
    bool ended = traced.waitForExit((seconds + 15) * 1000);
    if (output) *output = traced.output();
    // strace creates the summary file at its start and reports its own
    // failures (ptrace not permitted, for one) on its standard error.
    if (!ended || !testsupport::fileExists(summary) || traced.output().find("strace: ") != std::string::npos)
        return -1;
    return syncCallsIn(testsupport::readFile(summary));
}
