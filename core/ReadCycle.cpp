// The cycle timer and the step that runs one reader thread per source.
#include <cstdio>
#include <thread>

#include "core/Clock.h"
#include "core/Coupler.h"
#include "core/Log.h"

bool Coupler::cycleNotDue() {
    int64_t now = currentTime();
    // A clock set back (lastCycle in the future) must not stop the cycles until it catches up.
    if (now < lastCycle + readInterval && now >= lastCycle) return true;
    lastCycle = now;
    if (readInterval != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "coupler, readinterval %ds completed", readInterval);
        logMessage(9, text);
    }
    return false;
}

void Coupler::readSources() {
    for (int i = 0; i < sourceCount; ++i) sources[i].startRead(nodes, nodeCount);
    // The workers always finish in bounded time: every wait of a connection is
    // bounded. The main thread sleeps until the last one hands its nodes back.
    for (int i = 0; i < sourceCount; ++i) sources[i].waitReadDone();
}

bool Coupler::keepRunning() {
    switch (runMode) {
        case RunMode::Single:
            return false;
        case RunMode::Trigger:
            return notified;
        case RunMode::Cycle:
            break;
    }
    return true;
}
