// Summary line of the running coupler.
#include "daemon/ServiceStatus.h"

#include <cstdio>
#include <ctime>

#include "base/Text.h"
#include "cycle/Coupler.h"

void ServiceStatus::countCycle(const Coupler& coupler, int64_t now) {
    ++cycles_;
    // Every failed node counts; a lost link ends its source's reading, so the nodes behind it do not.
    readErrors_ = 0;
    for (int i = 0; i < coupler.sourceCount; ++i) readErrors_ += coupler.sources[i].failedReads;
    if (coupler.notified) lastNotification_ = now;
}

std::string ServiceStatus::line(size_t pendingDeliveries) const {
    std::string when = lastNotification_ != 0 ? formatDateTime(lastNotification_) : "none";
    char text[160];
    std::snprintf(text, sizeof text,
                  "cycles %llu, read errors %d, last notification %s, pending deliveries %zu",
                  static_cast<unsigned long long>(cycles_), readErrors_, when.c_str(), pendingDeliveries);
    return text;
}
