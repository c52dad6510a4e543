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

#include "core/Clock.h"
#include "core/CommandLine.h"
#include "core/ConfigCheck.h"
#include "core/Coupler.h"
#include "core/ServiceNotify.h"
#include "core/ServiceStatus.h"
#include "core/Settings.h"

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
    CommandAction action = requestedAction(argc, argv);
    if (action != CommandAction::Run) return runCommand(action, argc, argv);

    printBanner();
    const char* program = argc > 0 ? argv[0] : "";
    printStartup(program);
    std::string path = configPathFromArguments(argc, argv, true);

    ServiceNotify service;  // idle unless started by systemd
    ServiceStatus summary;
    int status = 0;
    bool stop = false;
    bool loadedBefore = false;
    while (!stop) {
        if (loadedBefore) service.reloading();
        auto coupler = std::make_unique<Coupler>();
        coupler->loadConfig(path.c_str());
        loadedBefore = true;
        stop = coupler->iniError;
        // A configuration error ends the program with EX_CONFIG, so systemd
        // and monitoring see a failure instead of success.
        if (stop) status = kExitConfigError;
        else service.ready();
        while (!stop && !coupler->configChanged()) {
            service.watchdogTick();
            if (coupler->cycleNotDue()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            coupler->readStates();
            coupler->readSources();
            coupler->writeStates();
            coupler->dispatchNotifications();
            summary.countCycle(*coupler, currentTime());
            service.status(summary.line());
            stop = !coupler->keepRunning();
        }
    }
    service.stopping();
    return status;
}
