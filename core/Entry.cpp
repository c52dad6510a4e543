// Entry and main loop: one Coupler per load of the configuration file, one
// cycle at a time while the file is unchanged and the run mode allows.
#include "core/Entry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "core/Coupler.h"
#include "core/Settings.h"
#include "core/ThreadTable.h"

namespace {

void printBanner() {
    std::printf("Zentok\n");
    std::printf("Limits: %d sources, %d nodes, %d dir, %d receiver\n", kMaxSources, kMaxNodes, kMaxDirs,
                kMaxReceivers);
    std::printf("Info: %s\n", kMakerAddress);
}

void printStartup(const char* program) {
    std::string cwd(4096, '\0');
    if (!getcwd(&cwd[0], cwd.size())) cwd = "?";
    std::printf("running %s\nworking dir %s\n", program, cwd.c_str());
}

// The scan does not skip the value: it is examined as an argument in its own
// right, so the last "-i" with a value wins.
const char* configPathFromArguments(int argc, char** argv) {
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "-i" && i + 1 < argc) {
            path = argv[i + 1];
            std::printf("configuration: %s\n", path);
        }
    }
    return path;
}

}  // namespace

std::string defaultConfigPath(const char* programPath) {
    std::string path = programPath ? programPath : "";
    size_t at = path.find(".exe");
    if (at == std::string::npos) return "zentok.ini";
    return path.substr(0, at) + ".ini";
}

namespace {
bool later(const struct timespec& now, int64_t seconds, long nanos) {
    return static_cast<int64_t>(now.tv_sec) > seconds ||
           (static_cast<int64_t>(now.tv_sec) == seconds && now.tv_nsec > nanos);
}
}  // namespace

bool Coupler::configChanged() {
    struct stat status {};
    if (stat(cfgName, &status) != 0) return false;  // a removed file neither ends nor reloads
    if (cfgStat.size >= 0 && (static_cast<int64_t>(status.st_size) != cfgStat.size ||
                              static_cast<uint64_t>(status.st_ino) != cfgStat.inode))
        return true;
    return later(status.st_mtim, cfgStat.modificationTime, cfgStat.modificationNanos) ||
           later(status.st_atim, cfgStat.accessTime, cfgStat.accessNanos);
}

int runZentok(int argc, char** argv) {
    printBanner();
    const char* program = argc > 0 ? argv[0] : "";
    printStartup(program);

    std::string path;
    if (const char* given = configPathFromArguments(argc, argv)) {
        path = given;
    } else {
        path = defaultConfigPath(program);
        std::printf("Using default ini file '%s'\n", path.c_str());
    }

    bool stop = false;
    while (!stop) {
        auto coupler = std::make_unique<Coupler>();
        coupler->loadConfig(path.c_str());
        stop = coupler->iniError;
        while (!stop && !coupler->configChanged()) {
            if (coupler->cycleNotDue()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            coupler->readStates();
            coupler->readSources();
            coupler->writeStates();
            coupler->dispatchNotifications();
            stop = !coupler->keepRunning();
        }
    }
    // A mail or post that outlasted the dispatch's wait would be cut off by
    // the exit without a word; let it finish or fail within its own limit.
    waitForRunningThreads();
    return 0;
}
