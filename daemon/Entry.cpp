// Entry and main loop: one Coupler per load of the configuration file, one
// cycle at a time while the file is unchanged and the run mode allows.
#include "daemon/Entry.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "base/Clock.h"
#include "base/ConfigWatch.h"
#include "base/DurableFile.h"
#include "base/ErrorText.h"
#include "base/Log.h"
#include "base/Settings.h"
#include "base/StopSignal.h"
#include "cycle/AlarmJournal.h"
#include "cycle/Coupler.h"
#include "cycle/Metrics.h"
#include "cycle/OperatorRequest.h"
#include "cycle/Outbox.h"
#include "daemon/CommandLine.h"
#include "daemon/ConfigCheck.h"
#include "daemon/Heartbeat.h"
#include "daemon/Run.h"
#include "daemon/ServiceNotify.h"
#include "daemon/ServiceStatus.h"
#include "notify/CommandRun.h"
#include "notify/Notifier.h"
#include "notify/Sender.h"

namespace {

void printBanner() {
    logf(Log::Always, "Zentok\n");
    logf(Log::Always, "Limits: %d sources, %d nodes, %d dir, %d receiver\n", kMaxSources, kMaxNodes, kMaxDirs,
         kMaxReceivers);
    logf(Log::Always, "Info: %s\n", kMakerAddress);
}

void printStartup(const char* program) {
    std::string cwd(4096, '\0');
    if (!getcwd(&cwd[0], cwd.size())) cwd = "?";
    logf(Log::Always, "running %s\nworking dir %s\n", program, cwd.c_str());
}

constexpr int kSettleMs = 100;            // a file written in pieces is loaded once it is quiet
constexpr int kUnreadableRetryMs = 1000;  // a file that cannot be opened is tried again this often
constexpr int kStopWaitMs = 10000;        // what a stop signal leaves the transfers in flight
constexpr int kRequestLookMs = 1000;      // without a watch, the request folder is looked at this often

// Decides when a changed configuration is reloaded: an editor or script that
// writes the file in pieces must not have its half-written file loaded, so a
// change counts once the file has stayed the same for the settle time. The
// file's status is taken only when the watch says it may have changed, while
// a change settles, or while no configuration is in force.
class ReloadDecision {
  public:
    // True when the coupler should be replaced now.
    bool due(Coupler& coupler, ConfigWatch& watch) {
        if (takeReloadRequest()) return true;  // SIGHUP: at once, changed or not
        bool mayHaveChanged = watch.takeFileChange();
        if (!mayHaveChanged && !settling_ && coupler.cfgStat.size >= 0) return false;
        int64_t now = steadyMs();
        // A file that exists but cannot be opened is tried again once a second.
        if (coupler.cfgUnreadable && now - loadedAtMs_ < kUnreadableRetryMs) return false;
        if (!coupler.configChanged()) {
            settling_ = false;
            return false;
        }
        FileIdentity state;
        identityOf(coupler.cfgName, &state);
        // A refused file is not tried again until it is saved anew.
        if (hasRefused_ && state == refused_) {
            settling_ = false;
            return false;
        }
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
        hasRefused_ = false;
        loadedAtMs_ = steadyMs();
    }

    // The file as it was when a load refused it.
    void refused(const char* path) {
        settling_ = false;
        hasRefused_ = identityOf(path, &refused_);
        loadedAtMs_ = steadyMs();
    }

  private:
    bool settling_ = false;
    bool hasRefused_ = false;
    FileIdentity refused_;
    FileIdentity seen_;
    int64_t quietSinceMs_ = 0;
    int64_t loadedAtMs_ = 0;
};

// The second of the cycle clock the next cycle is due at (the timer adds the
// coupler's offset); 0 when there is none to wait for (no read interval, or
// cycles paused).
int64_t nextCycleSecond(const Coupler& coupler, bool cyclesPaused) {
    if (cyclesPaused || coupler.readInterval == 0) return 0;
    return coupler.lastCycle + coupler.readInterval;
}

// The outbox is written before the states file records a firing, so a crash
// between the two can neither lose it nor send it twice.
void runCycle(Coupler& coupler) {
    coupler.readStates();
    coupler.endCarryOverOfRecordedFirings();
    coupler.readSources();
    coupler.queueNotifications();
    coupler.writeStates();
    coupler.dispatchNotifications();
}

// The end of a run. Stopped by a signal, nothing more is handed over, the
// transfers in flight get 10 s (a heartbeat ping none), the commands still
// running then are killed and what is unfinished stays in the outbox for
// the next start; ended by the run mode, each mail or post may finish or fail
// within its own limit.
void finishRun(Coupler& coupler) {
    coupler.endPhonePolls();  // a long poll holds nothing that must arrive
    if (stopRequested()) {
        sender().dropQueued();
        abandonHeartbeatPost();
        coupler.finishDeliveries(steadyMs() + kStopWaitMs);
        endRunningCommands();
    } else {
        // Every transfer ends by its own time limit.
        coupler.finishDeliveries(std::numeric_limits<int64_t>::max());
    }
    sender().shutdown();
}

// Sleeps until the next cycle is due, the file may have changed, a settle
// time ends or outcomes wait for their batched write; at most a second. The
// turn of the second a cycle is due at ends the sleep by the watch's timer on
// the wall clock, which also follows a step of that clock: counted in
// milliseconds, the sleep ended a little before the second turned and the
// loop woke again and again to find it. Under a systemd watchdog it also
// wakes in time for the next ping.
void waitForWork(ConfigWatch& watch, Coupler& coupler, const ReloadDecision& reload, bool cyclesPaused,
                 const ServiceNotify& service, const Heartbeat& heartbeat) {
    watch.wakeAtSecond(nextCycleSecond(coupler, cyclesPaused), coupler.cycleOffsetMs);
    bool connectWait = !cyclesPaused && coupler.readInterval == 0;
    int64_t wait = connectWait ? coupler.msUntilSourcesMayConnect() : 1000;
    wait = std::min<int64_t>(wait, reload.wakeWithinMs());
    int64_t saveInMs = coupler.outbox ? coupler.outbox->msUntilBatchedSave() : -1;
    if (saveInMs >= 0) wait = std::min(wait, saveInMs);
    if (service.watchdogIntervalMs() > 0) wait = std::min<int64_t>(wait, service.watchdogIntervalMs());
    int64_t beatInMs = heartbeat.msUntilDue();
    if (beatInMs >= 0) wait = std::min(wait, beatInMs);
    if (wait <= 0) wait = 1;
    watch.wait(static_cast<int>(std::min<int64_t>(wait, 1000)));
}

enum class LoadOutcome { InForce, Refused, StartFailed };

// Loads the file into a new coupler and puts it in force. A reload with a
// configuration error is refused: the running coupler stays in force with
// its uplinks, channels and log level, which the new one never touched, and
// the file is not tried again until it changes. At the start a configuration
// error ends the program.
LoadOutcome loadIntoRun(const std::string& path, Run& run, ReloadDecision& reload, bool& unreadableReported) {
    bool inForce = run.hasConfig() && run.config().cfgStat.size >= 0;
    auto coupler = std::make_unique<Coupler>();
    coupler->reportCantOpen = !unreadableReported;
    coupler->loadConfig(path.c_str());
    unreadableReported = coupler->cfgUnreadable;
    if (coupler->iniError() && inForce) {
        coupler.reset();
        reload.refused(path.c_str());
        logf(Log::Always,
             "*** ini error: configuration '%s' refused, the running configuration stays in force\n",
             path.c_str());
        return LoadOutcome::Refused;
    }
    reload.loaded();
    if (coupler->iniError()) return LoadOutcome::StartFailed;
    if (inForce && coupler->cfgStat.size >= 0)
        logf(Log::Always, "configuration '%s' reloaded\n", path.c_str());
    run.apply(std::move(coupler));
    return LoadOutcome::InForce;
}

// The operator's requests, served by a program that runs on (run mode
// cycle) once a configuration's first cycle has read the nodes' states. The
// folder is made then, so a single or trigger run leaves the working
// directory as it always did.
class RequestDesk {
  public:
    void serve(Coupler& coupler, ConfigWatch& watch, bool statesRead) {
        if (coupler.runMode != RunMode::Cycle || !statesRead || coupler.nodeCount == 0) return;
        if (!open_) {
            prepareRequestFolder();
            watch.watchArrivals(kRequestFolder, kRequestSuffix);  // a request wakes the loop as it arrives
            open_ = true;
        }
        if (!watch.takeArrivals() && steadyMs() - seenMs_ < kRequestLookMs) return;
        serveOperatorRequests(coupler);
        seenMs_ = steadyMs();
    }

  private:
    bool open_ = false;
    int64_t seenMs_ = std::numeric_limits<int64_t>::min() / 2;
};

// What systemd shows while no configuration could be read.
std::string waitingStatus(const std::string& path, const Coupler& coupler) {
    return "waiting for configuration: cannot read " + path + ": " +
           errorText(coupler.cantOpenReason ? coupler.cantOpenReason : ENOENT);
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
    Run run(outbox);
    ReloadDecision reload;
    int status = 0;
    bool stop = false;
    bool readySent = false;
    bool unreadableReported = false;
    RequestDesk requests;
    while (!stop) {
        if (readySent) service.reloading();
        LoadOutcome outcome = loadIntoRun(path, run, reload, unreadableReported);
        // A configuration error at the start ends the program with EX_CONFIG,
        // so systemd and monitoring see a failure instead of success.
        if (outcome == LoadOutcome::StartFailed) {
            service.stopping();
            status = kExitConfigError;
            break;
        }
        Coupler* coupler = &run.config();
        // Once per load: what the check fails on is said, and the rest runs.
        if (outcome == LoadOutcome::InForce && coupler->cfgStat.size >= 0) printDeadEndWarnings(*coupler);
        // Ready only once a configuration is in force: a file that cannot be
        // read must not look like a healthy service.
        bool loaded = coupler->cfgStat.size >= 0;
        if (loaded) {
            service.ready();
            readySent = true;
        } else {
            service.status(waitingStatus(path, *coupler));
        }
        // Without a configuration only the first cycle runs (it ends a single
        // or trigger run as before); then the loop waits for the file.
        bool ranOnce = false;
        while (!stop && !stopRequested() && !reload.due(*coupler, watch)) {
            service.watchdogTick();
            coupler->recordOutcomes();
            run.heartbeat().tick(*coupler, run.metrics());
            if (loaded) requests.serve(*coupler, watch, ranOnce);
            if (loaded && ranOnce && coupler->runMode == RunMode::Cycle) coupler->servePhoneReplies();
            bool paused = !loaded && ranOnce;
            if (paused || coupler->cycleNotDue()) {
                waitForWork(watch, *coupler, reload, paused, service, run.heartbeat());
                continue;
            }
            int64_t cycleStartMs = steadyMs();
            runCycle(*coupler);
            ranOnce = true;
            if (loaded) {
                run.cycleDone(cycleStartMs);
                summary.countCycle(*coupler, currentTime());
                service.status(summary.line(outbox->entries().size()));
            }
            stop = !coupler->keepRunning();
        }
        stop = stop || stopRequested();
        if (stop) {
            service.stopping();
            finishRun(*coupler);
            run.metrics().publishStopped(*coupler, currentTime());
            run.statusPage().publishStopped(*coupler, run.metrics(), currentTime());
        }
        // The read times a running coupler writes once a minute are exact
        // after a stop and for the coupler a reload builds.
        coupler->writeLatestStates();
    }
    setSettlementListener(nullptr);
    return status;
}
