// Dispatch of fired nodes (placeholder until the dispatch is built).
#include "core/Coupler.h"
#include "core/ThreadTable.h"

void Coupler::dispatchNotifications() {
    notified = false;
    waitThreads();
}
