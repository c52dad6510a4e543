// Entry and main loop: one Coupler per load of the configuration file, one
// cycle at a time while the file is unchanged and the run mode allows.
#include "core/Entry.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>

#include "core/Clock.h"
#include "core/CommandLine.h"
#include "core/ConfigCheck.h"
#include "core/ConfigWatch.h"
#include "core/Coupler.h"
#include "core/DurableFile.h"
#include "core/ServiceNotify.h"
#include "core/ServiceStatus.h"
#include "core/Settings.h"
#include "core/StopSignal.h"
#include "notify/Notifier.h"
#include "notify/Outbox.h"
#include "notify/Sender.h"

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

constexpr int kSettleMs = 100;            // a file written in pieces is loaded once it is quiet
constexpr int kUnreadableRetryMs = 1000;  // a file that cannot be opened is tried again this often
constexpr int kStopWaitMs = 10000;        // what a stop signal leaves the transfers in flight

// Milliseconds until the wall clock reaches the whole second `second`.
int64_t msUntilSecond(int64_t second) {
    using namespace std::chrono;
    int64_t nowMs = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    return second * 1000 - nowMs;
}

// Decides when a changed configuration is reloaded: an editor or script that
// writes the file in pieces must not have its half-written file loaded, so a
// change counts once the file has stayed the same for the settle time.
class ReloadDecision {
  public:
    // True when the coupler should be replaced now.
    bool due(Coupler& coupler) {
        int64_t now = steadyMs();
        // A file that exists but cannot be opened is tried again once a second.
        if (coupler.cfgUnreadable && now - loadedAtMs_ < kUnreadableRetryMs) return false;
        if (!coupler.configChanged()) {
            settling_ = false;
            return false;
        }
        FileIdentity state;
        identityOf(coupler.cfgName, &state);
        if (!settling_ || state != seen_) {
            settling_ = true;
            seen_ = state;
            quietSinceMs_ = now;
        }
        return now - quietSinceMs_ >= kSettleMs;
    }

    // Milliseconds the loop may sleep before the settle time needs a look.
    int wakeWithinMs() const {
        if (!settling_) return 1000;
        int64_t left = quietSinceMs_ + kSettleMs - steadyMs();
        return left > 0 ? static_cast<int>(left) : 0;
    }

    void loaded() {
        settling_ = false;
        loadedAtMs_ = steadyMs();
    }

  private:
    bool settling_ = false;
    FileIdentity seen_;
    int64_t quietSinceMs_ = 0;
    int64_t loadedAtMs_ = 0;
};

// Milliseconds until the cycle timer will find the next cycle due.
int64_t msUntilNextCycle(const Coupler& coupler) {
    return msUntilSecond(coupler.lastCycle + coupler.readInterval);
}

// The outbox is written before the states file records a firing, so a crash
// between the two can neither lose it nor send it twice.
void runCycle(Coupler& coupler) {
    coupler.readStates();
    coupler.readSources();
    coupler.queueNotifications();
    coupler.writeStates();
    coupler.dispatchNotifications();
}

// Hands the run's outbox to a new coupler; only a loaded configuration
// decides which receivers are gone.
void attachOutbox(Coupler& coupler, const std::shared_ptr<Outbox>& outbox) {
    if (coupler.cfgStat.size >= 0 && !coupler.iniError)
        coupler.adoptOutbox(outbox);
    else
        coupler.outbox = outbox;
}

// The end of a run. Stopped by a signal, nothing more is handed over, the
// transfers in flight get 10 s and what is unfinished stays in the outbox for
// the next start; ended by the run mode, each mail or post may finish or fail
// within its own limit.
void finishRun(Coupler& coupler) {
    if (stopRequested()) {
        sender().dropQueued();
        coupler.finishDeliveries(steadyMs() + kStopWaitMs);
    } else {
        // Every transfer ends by its own time limit.
        coupler.finishDeliveries(std::numeric_limits<int64_t>::max());
    }
    sender().shutdown();
}

// Sleeps until the next cycle is due, the file may have changed or a settle
// time ends; at most a second, so a step of the wall clock is followed.
// Under a systemd watchdog it also wakes in time for the next ping.
void waitForWork(ConfigWatch& watch, const Coupler& coupler, const ReloadDecision& reload, bool cyclesPaused,
                 const ServiceNotify& service) {
    int64_t wait = cyclesPaused ? 1000 : msUntilNextCycle(coupler);
    wait = std::min<int64_t>(wait, reload.wakeWithinMs());
    if (service.watchdogIntervalMs() > 0) wait = std::min<int64_t>(wait, service.watchdogIntervalMs());
    if (wait <= 0) wait = 1;  // the second has just turned over
    watch.wait(static_cast<int>(std::min<int64_t>(wait, 1000)));
}

}  // namespace

int runZentok(int argc, char** argv) {
    CommandAction action = requestedAction(argc, argv);
    if (action != CommandAction::Run) return runCommand(action, argc, argv);

    printBanner();
    const char* program = argc > 0 ? argv[0] : "";
    printStartup(program);
    std::string path = configPathFromArguments(argc, argv, true);

    ConfigWatch watch(path);
    installStopHandlers(&watch);
    // A settled outcome wakes the loop, which records it at once.
    setSettlementListener([&watch] { watch.interrupt(); });
    auto outbox = std::make_shared<Outbox>(kOutboxName);
    outbox->load();
    ServiceNotify service;  // idle unless started by systemd
    ServiceStatus summary;
    ReloadDecision reload;
    int status = 0;
    bool stop = false;
    bool loadedBefore = false;
    bool unreadableReported = false;
    while (!stop) {
        if (loadedBefore) service.reloading();
        auto coupler = std::make_unique<Coupler>();
        coupler->reportCantOpen = !unreadableReported;
        coupler->loadConfig(path.c_str());
        unreadableReported = coupler->cfgUnreadable;
        loadedBefore = true;
        reload.loaded();
        attachOutbox(*coupler, outbox);
        stop = coupler->iniError;
        // A configuration error ends the program with EX_CONFIG, so systemd
        // and monitoring see a failure instead of success.
        if (stop)
            status = kExitConfigError;
        else
            service.ready();
        // Without a configuration only the first cycle runs (it ends a single
        // or trigger run as before); then the loop waits for the file.
        bool loaded = coupler->cfgStat.size >= 0;
        bool ranOnce = false;
        while (!stop && !stopRequested() && !reload.due(*coupler)) {
            service.watchdogTick();
            coupler->recordOutcomes();
            bool paused = !loaded && ranOnce;
            if (paused || coupler->cycleNotDue()) {
                waitForWork(watch, *coupler, reload, paused, service);
                continue;
            }
            runCycle(*coupler);
            ranOnce = true;
            summary.countCycle(*coupler, currentTime());
            service.status(summary.line(outbox->entries().size()));
            stop = !coupler->keepRunning();
        }
        stop = stop || stopRequested();
        if (stop) {
            service.stopping();
            finishRun(*coupler);
        }
    }
    setSettlementListener(nullptr);
    return status;
}
