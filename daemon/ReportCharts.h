// Bar charts as inline SVG for the report page: no script, no font, nothing
// fetched, so the page is one file. Every label is escaped; every bar is a
// <rect class="bar"> with its value in data-value, so a reader of the page's
// DOM finds the figures the picture shows.
#pragma once

#include <string>
#include <vector>

struct ChartBar {
    std::string label;  // under the bar, or beside it in a bar list; the first and last shown
    double value = 0.0;
};

// A level drawn across a column chart, with its name.
struct ChartLine {
    double value;
    std::string name;
};

// Upright bars side by side, as many as given, with the levels drawn across.
std::string columnChart(const std::string& id, const std::string& unit, const std::vector<ChartBar>& bars,
                        const std::vector<ChartLine>& lines);
// Bars lying down, one per row, each with its label and value.
std::string barList(const std::string& id, const std::vector<ChartBar>& bars);
