// Drawing the report's charts.
#include "daemon/ReportCharts.h"

#include <algorithm>
#include <cstdio>

#include "base/HtmlPage.h"

namespace {

constexpr double kWidth = 600.0;
constexpr double kColumnHeight = 200.0;
constexpr double kAxis = 30.0;  // room left of the plot for the scale, and under it for the labels
constexpr double kRowHeight = 24.0;
constexpr double kWidestColumn = 40.0;  // a chart of few bars draws them as bars, not as blocks
constexpr double kLabelWidth = 250.0;
constexpr size_t kLongestLabel = 40;  // characters of a bar list's label, about the room it has

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", value);
    return text;
}

std::string svgStart(const std::string& id, double height) {
    return "<svg id=\"" + escapeHtml(id) + "\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " +
           number(kWidth) + " " + number(height) +
           "\" role=\"img\" font-family=\"sans-serif\" font-size=\"13\">";
}

std::string text(double x, double y, const std::string& anchor, const std::string& words) {
    return "<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" text-anchor=\"" + anchor + "\">" +
           escapeHtml(words) + "</text>";
}

}  // namespace

std::string columnChart(const std::string& id, const std::string& unit, const std::vector<ChartBar>& bars,
                        const std::vector<ChartLine>& lines) {
    double top = 1.0;
    for (const ChartBar& bar : bars) top = std::max(top, bar.value);
    top *= 1.1;
    const double plotHeight = kColumnHeight - kAxis;
    const double plotWidth = kWidth - kAxis;
    auto y = [&](double value) { return plotHeight - plotHeight * std::min(value, top) / top; };
    std::string out = svgStart(id, kColumnHeight);
    out += text(2, 12, "start", unit + ", most " + number(top / 1.1));
    double width =
        bars.empty() ? plotWidth : std::min(plotWidth / static_cast<double>(bars.size()), kWidestColumn);
    for (size_t i = 0; i < bars.size(); ++i) {
        double x = kAxis + width * static_cast<double>(i);
        out += "<rect class=\"bar\" data-value=\"" + number(bars[i].value) + "\" x=\"" + number(x) +
               "\" y=\"" + number(y(bars[i].value)) + "\" width=\"" + number(std::max(width * 0.85, 0.5)) +
               "\" height=\"" + number(plotHeight - y(bars[i].value)) + "\" fill=\"#4a7ab5\"><title>" +
               escapeHtml(bars[i].label + ": " + number(bars[i].value)) + "</title></rect>";
    }
    for (const ChartLine& line : lines) {
        if (line.value > top) continue;
        out += "<line class=\"level\" data-value=\"" + number(line.value) + "\" x1=\"" + number(kAxis) +
               "\" x2=\"" + number(kWidth) + "\" y1=\"" + number(y(line.value)) + "\" y2=\"" +
               number(y(line.value)) + "\" stroke=\"#c00\" stroke-dasharray=\"4 3\"/>";
        out += text(kWidth - 2, y(line.value) - 2, "end", line.name);
    }
    if (!bars.empty()) {
        out += text(kAxis, kColumnHeight - 8, "start", bars.front().label);
        if (bars.size() > 1) out += text(kWidth, kColumnHeight - 8, "end", bars.back().label);
    }
    return out + "</svg>\n";
}

std::string barList(const std::string& id, const std::vector<ChartBar>& bars) {
    double top = 1.0;
    for (const ChartBar& bar : bars) top = std::max(top, bar.value);
    const double plotWidth = kWidth - kLabelWidth - 50;
    std::string out = svgStart(id, kRowHeight * static_cast<double>(std::max<size_t>(bars.size(), 1)));
    for (size_t i = 0; i < bars.size(); ++i) {
        double y = kRowHeight * static_cast<double>(i);
        // A long name is cut for the picture; the bar's title holds it whole.
        std::string label = bars[i].label;
        if (label.size() > kLongestLabel) {
            size_t cut = kLongestLabel - 1;
            while (cut > 0 && (static_cast<unsigned char>(label[cut]) & 0xC0) == 0x80) --cut;
            label.replace(cut, std::string::npos, "\xE2\x80\xA6");
        }
        out += text(kLabelWidth - 4, y + 16, "end", label);
        double width = plotWidth * bars[i].value / top;
        out += "<rect class=\"bar\" data-value=\"" + number(bars[i].value) + "\" x=\"" + number(kLabelWidth) +
               "\" y=\"" + number(y + 3) + "\" width=\"" + number(width) + "\" height=\"" +
               number(kRowHeight - 6) + "\" fill=\"#b5654a\"><title>" + escapeHtml(bars[i].label) +
               "</title></rect>";
        out += text(kLabelWidth + width + 4, y + 16, "start", number(bars[i].value));
    }
    return out + "</svg>\n";
}
