// Counts the fsync and fdatasync calls of a program with strace.
#pragma once

#include <string>
#include <vector>

// Runs argv in workDir under strace for `seconds` (then timeout ends the
// program with SIGTERM) and returns the fsync and fdatasync calls of all its
// threads, or -1 when strace is missing or gave no summary.
int countSyncCalls(const std::vector<std::string>& argv, const std::string& workDir, int seconds,
                   std::string* output);
