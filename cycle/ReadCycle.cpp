// The cycle timer and the step that runs one reader thread per source.
#include <algorithm>
#include <cstdio>
#include <thread>

#include "base/Clock.h"
#include "base/Log.h"
#include "cycle/Coupler.h"
#include "cycle/CycleOffset.h"

int64_t Coupler::msUntilSourcesMayConnect() {
    int64_t wait = 0;
    for (int i = 0; i < sourceCount; ++i) {
        int64_t left = sources[i].msUntilConnectAttempt();
        if (left == 0) return 0;  // this source can be read now
        wait = i == 0 ? left : std::min(wait, left);
    }
    return wait;
}

bool Coupler::cycleNotDue() {
    // Without a read interval the next cycle would only find the device
    // still waiting out its connect back-off: it waits for it instead.
    if (readInterval == 0 && msUntilSourcesMayConnect() > 0) return true;
    int64_t now = cycleSecondAt(currentTimeMs(), cycleOffsetMs);
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
    std::vector<int64_t> firedBefore(static_cast<size_t>(nodeCount));
    for (int i = 0; i < nodeCount; ++i) firedBefore[i] = nodes[i].triggerTime;
    for (int i = 0; i < sourceCount; ++i) sources[i].startRead(nodes.data(), nodeCount);
    // The workers always finish in bounded time: every wait of a connection is
    // bounded. The main thread sleeps until the last one hands its nodes back.
    for (int i = 0; i < sourceCount; ++i) sources[i].waitReadDone();
    // A node without an alarm line re-arms in silence; the journal still
    // learns that its episode ended, through the mark an alarm's clear sets.
    for (int i = 0; i < nodeCount; ++i) {
        Node& node = nodes[i];
        if (!node.alarm.enabled && firedBefore[i] != 0 && node.triggerTime == 0)
            node.alarmState.clearedEpisode = firedBefore[i];
    }
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
