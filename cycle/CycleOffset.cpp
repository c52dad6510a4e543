// The fixed start of a coupler's cycles within its read interval.
#include "cycle/CycleOffset.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>

namespace {

// The name that tells two instances apart however each was started: a
// relative path names different files in different working directories.
std::string absoluteName(const char* path) {
    char resolved[PATH_MAX];
    if (::realpath(path, resolved)) return resolved;
    if (path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

// FNV-1a: stable across builds and hosts, so an instance keeps its place.
uint64_t nameHash(const std::string& name) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : name) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

}  // namespace

int cycleOffsetFor(const char* configPath, int readIntervalSeconds) {
    if (readIntervalSeconds <= 0 || !configPath || !configPath[0]) return 0;
    // An interval of weeks keeps its offset within the range of an int.
    uint64_t span = std::min<uint64_t>(static_cast<uint64_t>(readIntervalSeconds) * 1000, INT_MAX);
    return static_cast<int>(nameHash(absoluteName(configPath)) % span);
}

int64_t cycleSecondAt(int64_t wallMs, int offsetMs) {
    int64_t shifted = wallMs - offsetMs;
    // Rounded down, also below 0, so each second of the cycle clock lasts a second.
    return shifted >= 0 ? shifted / 1000 : -((-shifted + 999) / 1000);
}
