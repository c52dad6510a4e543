// "zentok report --html FILE": the audit as one self-contained page, its
// figures as tables and four charts drawn inline (alarm rate per 10 minutes
// against the EEMUA line, the ten nodes that raise most, time in flood per
// day, time to acknowledge), readable on a phone.
#pragma once

#include <string>
#include <vector>

#include "daemon/AlarmAudit.h"
#include "daemon/JournalReport.h"

// The rate chart draws at most this many bars; a longer period draws each
// bar as the peak of as many 10-minute intervals as it takes.
constexpr size_t kMostRateBars = 288;

std::string renderReportPage(const AlarmAudit& audit, const JournalLines& lines,
                             const std::vector<std::string>& files);
