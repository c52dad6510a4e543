// Escaping and the page frame shared by the status page and the report.
#include "base/HtmlPage.h"

namespace {

// Narrow screens: a table of class "cards" shows each row as a card of
// "label: value" lines (the labels from each cell's data-label), other
// tables scroll sideways inside their box instead of widening the page, and
// a long unbroken field wraps.
constexpr const char* kStyle =
    "body{font-family:sans-serif;margin:0.5em;color:#222;background:#fff}"
    "h1{font-size:1.3em}h2{font-size:1.1em;margin-top:1.2em}"
    ".box{overflow-x:auto;max-width:100%}"
    "table{border-collapse:collapse;font-size:0.9em}"
    "th,td{border:1px solid #ccc;padding:0.2em 0.4em;text-align:left;vertical-align:top;"
    "overflow-wrap:break-word;max-width:24em}"
    "th{background:#eee}table.figures td{white-space:nowrap}"
    "tr.active td{background:#fdd}tr.pending td{background:#ffd}tr.acknowledged td{background:#fec}"
    "tr.shelved td{background:#eef}"
    ".note{color:#555;font-size:0.85em}"
    "svg{max-width:100%;height:auto;display:block}"
    ".stopped{background:#c00;color:#fff;padding:0.3em}"
    "@media (max-width:640px){table.cards,table.cards tbody,table.cards tr,table.cards td{display:block}"
    "table.cards tr:first-child{display:none}table.cards tr{margin-bottom:0.5em;border:1px solid #ccc}"
    "table.cards td{border:none;max-width:none;overflow-wrap:anywhere}"
    "table.cards td::before{content:attr(data-label) \": \";font-weight:bold}}";

}  // namespace

std::string escapeHtml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                if ((static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') || c == 0x7f)
                    out += "\xEF\xBF\xBD";
                else
                    out += c;
        }
    }
    return out;
}

std::string htmlPageStart(const std::string& title, int refreshSeconds) {
    std::string out = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n";
    out += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    if (refreshSeconds > 0)
        out += "<meta http-equiv=\"refresh\" content=\"" + std::to_string(refreshSeconds) + "\">\n";
    out += "<title>" + escapeHtml(title) + "</title>\n<style>" + kStyle + "</style></head>\n<body>\n";
    return out + "<h1>" + escapeHtml(title) + "</h1>\n";
}

std::string htmlPageEnd() {
    return "</body></html>\n";
}
