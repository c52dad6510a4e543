// The audit's figures as rows (one name, one value each) shared by every
// form of the report, and the forms for the plant's own tools: CSV and JSON.
#pragma once

#include <string>
#include <vector>

#include "daemon/AlarmAudit.h"

struct FigureRow {
    const char* key;    // the name CSV and JSON use
    const char* label;  // the words the page shows
    double value;       // the figure; negative when there is none (nothing acknowledged, ...)
    std::string text;   // the figure as a reader reads it
};

std::vector<FigureRow> alarmFigureRows(const AlarmFigures& figures);
std::vector<FigureRow> deliveryFigureRows(const ReceiverFigures& figures);

// "scope;figure;value" lines with a header: the scope is "site" or the receiver's name.
std::string reportCsv(const AlarmAudit& audit);
// {"from", "to", "site": {...}, "receivers": [{"receiver", ...}], "alarms_per_10_minutes": [...]}.
std::string reportJson(const AlarmAudit& audit);
