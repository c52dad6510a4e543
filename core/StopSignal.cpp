// The stop and reload handlers touch only a flag and the watch's wake-up
// pipe, both safe to use from a signal handler.
#include "core/StopSignal.h"

#include <csignal>

#include "core/ConfigWatch.h"

namespace {

volatile std::sig_atomic_t gStopRequested = 0;
volatile std::sig_atomic_t gReloadRequested = 0;
ConfigWatch* gWatch = nullptr;

void onStopSignal(int signal) {
    if (gStopRequested) {
        // The second signal: the default action ends the program at once.
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    gStopRequested = 1;
    if (gWatch) gWatch->interrupt();
}

void onReloadSignal(int) {
    gReloadRequested = 1;
    if (gWatch) gWatch->interrupt();
}

}  // namespace

void installStopHandlers(ConfigWatch* watch) {
    gWatch = watch;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    // SIGHUP's default action would end the program in the middle of a
    // cycle or a delivery; it is the reload signal instead ("systemctl reload").
    struct sigaction reload {};
    reload.sa_handler = onReloadSignal;
    sigemptyset(&reload.sa_mask);
    sigaction(SIGHUP, &reload, nullptr);
}

bool takeReloadRequest() {
    if (!gReloadRequested) return false;
    gReloadRequested = 0;
    return true;
}

bool stopRequested() {
    return gStopRequested != 0;
}

void requestStopForTesting() {
    gStopRequested = 1;
}
